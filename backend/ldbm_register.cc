// The "ldbm" backend's registration table: one constant record, so a
// mismatched entry point is a compile error here.
#include "backend/ldbm_register.h"

#include "backend/entry_cache.h"
#include "backend/ldbm_ops.h"
#include "backend/ldbm_storage.h"
#include "server/backend.h"

namespace {

constexpr BackendRegistration kLdbmRegistration = {
    .type = "ldbm",
    .ops =
        {
            .bind = ldbm_back_bind,
            .unbind = ldbm_back_unbind,
            .search = ldbm_back_search,
            .compare = ldbm_back_compare,
            .modify = ldbm_back_modify,
            .modrdn = ldbm_back_modrdn,
            .add = ldbm_back_add,
            .del = ldbm_back_delete,
            .abandon = ldbm_back_abandon,
            .config = ldbm_back_config,
            .init = ldbm_back_init,
            .close = ldbm_back_close,
            .sync = ldbm_back_sync,
            .release = ldbm_back_release,
        },
    .storage =
        {
            .createDatabases = CreateDatabases,
            .lockDBs = LockDBs,
            .unlockDBs = UnlockDBs,
            .checkRequiredDBs = CheckRequiredDBs,
            .writeIndexMethodToDB = WriteIndexMethodToDB,
            .readIndexMethodFromDB = ReadIndexMethodFromDB,
            .resetCacheSplitInfo = ResetCacheSplitInfo,
            .checkCacheSplitInfo = CheckCacheSplitInfo,
            .cacheResetRefcounts = cache_reset_refcounts,
        },
};

}  // namespace

void ldbm_register() { be_register(&kLdbmRegistration); }
