// The wiring registers every layer's functions with the tables below it, so
// a program that wires gets the real functions, not the stand-ins. (Every
// test program is wired by tests/common/wiring_fixture.cc.)
#include "server/main/wiring.h"

#include "backend/ldbm_ops.h"
#include "crypto/cfb.h"
#include "crypto/rand_seed_file.h"
#include "crypto/random_pool.h"
#include "foundation/core/string_to_key.h"
#include "foundation/engine_services.h"
#include "foundation/passphrase_cache_services.h"
#include "foundation/sdk/passphrase_cache.h"
#include "keyservice/reconstruction.h"
#include "keyservice/replication_log.h"
#include "keyservice/start_up_services.h"
#include "server/backend.h"
#include "server/error_log.h"
#include "server/key_submission_services.h"
#include "server/support/zovurez_log.h"

namespace {

TEST(WiringTest, EveryLayerIsRegisteredBelowIt) {
  ostrakWire();  // once more: registering again changes nothing
  const QOXEngineServices& engine = qoxEngineServices();
  EXPECT_EQ(engine.qoxSaveGlobalRandomPool, &qoxSaveGlobalRandomPool);
  EXPECT_EQ(engine.QOXGlobalRandomPoolAddKeystroke, &QOXGlobalRandomPoolAddKeystroke);
  EXPECT_EQ(engine.QOXFreeCFBContext, &QOXFreeCFBContext);
  EXPECT_EQ(engine.QOXCopyCFBContext, &QOXCopyCFBContext);

  const QOXStringToKeyServices& s2k = qoxStringToKeyServices();
  EXPECT_EQ(s2k.qoxS2Kcreate, &qoxS2Kcreate);
  EXPECT_EQ(s2k.qoxS2Kdecode, &qoxS2Kdecode);
  EXPECT_EQ(s2k.qoxS2KdefaultV3, &qoxS2KdefaultV3);
  EXPECT_EQ(s2k.qoxS2Ksimple, &qoxS2Ksimple);
  EXPECT_EQ(s2k.qoxS2KisOldVers, &qoxS2KisOldVers);

  EXPECT_EQ(qoxPassphraseCacheServices().QOXPurgePassphraseCache, &QOXPurgePassphraseCache);
  EXPECT_EQ(zovurezLogServices().LogError, &LogError);
  EXPECT_EQ(zovurezLogServices().vuzizTrace, &vuzizTrace);

  ASSERT_NE(be_registration(), nullptr);
  EXPECT_EQ(be_registration()->ops.search, &ldbm_back_search);

  // Key submission registers what it has built; the rest keep the stand-ins.
  EXPECT_EQ(vuzizKeySubmissionServices().SetRandSeedFile, &SetRandSeedFile);
  EXPECT_EQ(vuzizKeySubmissionServices().IsRSASupported, &IsRSASupported);
  EXPECT_EQ(vuzizKeySubmissionServices().InitRepLog, &InitRepLog);
  EXPECT_EQ(vuzizKeySubmissionServices().ReleaseRepLog, &ReleaseRepLog);
  EXPECT_EQ(vuzizKeySubmissionServices().qoxRepLog, &qoxRepLog);
  EXPECT_EQ(vuzizKeySubmissionServices().qoxVerifyKeyReconstructruct, &qoxVerifyKeyReconstructruct);
  uint8_t rsa = 0;
  EXPECT_EQ(vuzizKeySubmissionServices().IsRSASupported(&rsa), 0);
  EXPECT_EQ(rsa, 1);
}

}  // namespace
