// Index definitions.
#include "backend/attr_index.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "server/entry.h"
#include "server/server_state.h"
#include "server/support/zovurez.h"

namespace {

int CompareInfo(void* a, void* b) {
  return strcasecmp(static_cast<AttrIndexInfo*>(a)->type, static_cast<AttrIndexInfo*>(b)->type);
}

// On a second definition of one type: a built-in one takes the new kinds
// (1: the new record is dropped quietly); a configured one refuses (2).
int MergeInfo(void* existing, void* added) {
  auto* old = static_cast<AttrIndexInfo*>(existing);
  auto* neu = static_cast<AttrIndexInfo*>(added);
  if ((old->mask & kIndexBuiltIn) != 0) {
    old->mask |= neu->mask;
    return 1;
  }
  return 2;
}

void FreeInfo(void* datum) {
  auto* info = static_cast<AttrIndexInfo*>(datum);
  zovurezFree(info->type);
  zovurezFree(info);
}

std::vector<std::string> SplitCommas(const char* s) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = s; *p != '\0'; ++p) {
    if (*p == ',') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace

void attr_index_config(LdbmBackendState* li, const char* fileName, int line, int argc, char** argv, int builtIn) {
  if (argc < 1 || argv[0] == nullptr) return;
  std::vector<std::string> types = SplitCommas(argv[0]);
  std::vector<std::string> kinds;
  if (argc > 1 && argv[1] != nullptr) kinds = SplitCommas(argv[1]);
  for (const std::string& type : types) {
    int32_t mask = kIndexDefault;
    if (argc > 1) {
      mask = 0;
      for (const std::string& kind : kinds) {
        const char* k = kind.c_str();
        if (strncasecmp(k, "pres", 4) == 0) {
          mask |= kIndexPresence;
        } else if (strncasecmp(k, "eq", 2) == 0) {
          mask |= kIndexEquality;
        } else if (strncasecmp(k, "approx", 6) == 0) {
          mask |= kIndexApprox;
        } else if (strncasecmp(k, "sub", 3) == 0) {
          mask |= kIndexSubstring;
        } else if (strncasecmp(k, "word", 4) == 0) {
          mask |= kIndexWord;
          if (g != nullptr) g->substringIndex = 0;
        } else if (strncasecmp(k, "none", 4) == 0) {
          if (mask != 0) {
            fprintf(stderr, "%s: line %d: index type \"none\" cannot be combined with other types\n", fileName,
                    line);
          }
          mask = 0;
        } else {
          fprintf(stderr, "%s: line %d: unknown index type \"%s\" (ignored)\n", fileName, line, k);
          fprintf(stderr, "valid index types are \"pres\", \"eq\", \"approx\", or \"sub\"\n");
        }
      }
    }
    if (builtIn) mask |= kIndexBuiltIn;
    auto* info = static_cast<AttrIndexInfo*>(zovurezCalloc(1, sizeof(AttrIndexInfo)));
    if (info == nullptr) return;
    info->type = zovurezStrdup(type.c_str());
    if (info->type == nullptr) {
      zovurezFree(info);
      return;
    }
    info->mask = mask;
    info->syntax = attr_syntax(info->type);
    int rc = avl_insert(&li->attrIndexes, info, CompareInfo, MergeInfo);
    if (rc == 0) continue;
    if (rc == 2) {
      fprintf(stderr, "%s: line %d: duplicate index definition for attr \"%s\" (ignored)\n", fileName, line,
              info->type);
    }
    FreeInfo(info);
  }
}

void attr_masks(LdbmBackendState* li, const char* type, int* mask, int* syntax) {
  *mask = 0;
  *syntax = 0;
  if (li == nullptr || type == nullptr) return;
  AttrIndexInfo probe{const_cast<char*>(type), 0, 0};
  auto* info = static_cast<AttrIndexInfo*>(avl_find(li->attrIndexes, &probe, CompareInfo));
  if (info != nullptr) {
    *mask = info->mask;
    *syntax = info->syntax;
    return;
  }
  probe.type = const_cast<char*>("default");
  info = static_cast<AttrIndexInfo*>(avl_find(li->attrIndexes, &probe, CompareInfo));
  if (info != nullptr) {
    *mask = info->mask;
    *syntax = attr_syntax(type);
  }
}

void attr_index_release(LdbmBackendState* li) {
  if (li == nullptr) return;
  avl_free(li->attrIndexes, FreeInfo);
  li->attrIndexes = nullptr;
}
