#include "keydb/key_tree.h"

#include <cstring>

#include "keydb/key_db.h"
#include "keydb/key_db_obj.h"
#include "keydb/key_id.h"

void qoxKeyInfoTreeKeyID(const KeyInfo* info, QOXKeyID* outKeyID) {
  std::memset(outKeyID, 0, sizeof *outKeyID);
  qoxNewKeyIDFromRawData(info->keyID, qoxKeyIDAlgorithm(info->algorithm), sizeof info->keyID, outKeyID);
}

void qoxLinkKeyToTree(QOXKeyDBObj* key, QOXKeyDB* db) {
  KeyInfo* info = qoxKeyToKeyInfo(key);
  if (info == nullptr || qoxFrontEndKeyDB(db)) return;
  info->greater = nullptr;
  info->notGreater = nullptr;
  QOXKeyID id;
  qoxKeyInfoTreeKeyID(info, &id);
  QOXKeyDBObj** link = &db->keyTree;
  while (*link != nullptr) {
    KeyInfo* node = qoxKeyToKeyInfo(*link);
    if (node == nullptr) return;  // a node without its record (unfetched) ends the descent
    QOXKeyID nodeID;
    qoxKeyInfoTreeKeyID(node, &nodeID);
    link = qoxCompareKeyIDs(&nodeID, &id) < 0 ? &node->greater : &node->notGreater;
  }
  *link = key;
}
