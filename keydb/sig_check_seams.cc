#include "keydb/sig_check_seams.h"

QOXError qoxCheckOneSig(QOXKeyDBObj*, QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }

QOXError qoxRecalculateTrust(QOXKeySet*, QOXKeyDB*) { return kQOXErrFeatureNotAvailable; }
