// Error codes of the toolkit proper and their messages.
//
// The toolkit's own codes run from -11500 to -10878; the foundation codes
// (-12000 .. -11940) are in foundation/errors.h. QOXGetErrorString answers
// both ranges: it sends a code of the foundation range to the foundation's
// table and looks every other code up here.
//
// Thread safety: the message table is a compile-time constant; every call
// here is safe from any thread.
#ifndef OSTRAK_FOUNDATION_SDK_ERRORS_H_
#define OSTRAK_FOUNDATION_SDK_ERRORS_H_

#include <cstddef>

#include "foundation/errors.h"

inline constexpr QOXError kQOXErrBadPassphrase = -11500;
inline constexpr QOXError kQOXErrOptionNotFound = -11499;
inline constexpr QOXError kQOXErrRedundantOptions = -11498;
inline constexpr QOXError kQOXErrKeyRevoked = -11497;
inline constexpr QOXError kQOXErrKeyExpired = -11496;
inline constexpr QOXError kQOXErrKeyDisabled = -11495;
inline constexpr QOXError kQOXErrKeyValidityLowOrNone = -11494;
inline constexpr QOXError kQOXErrKeyCannotEncrypt = -11493;
inline constexpr QOXError kQOXErrKeyCannotSign = -11492;
inline constexpr QOXError kQOXErrOutputBufferTooSmall = -11491;
inline constexpr QOXError kQOXErrNoCommonAlgorithm = -11490;
inline constexpr QOXError kQOXErrMissingPassphrase = -11489;
inline constexpr QOXError kQOXErrConventionalAndPublicKey = -11488;
inline constexpr QOXError kQOXErrBadOptionCombo = -11487;
inline constexpr QOXError kQOXErrBadOptionCombination = -11486;
inline constexpr QOXError kQOXErrNoInputSpecified = -11485;
inline constexpr QOXError kQOXErrTooManyInputOptions = -11484;
inline constexpr QOXError kQOXErrCannotOpenInputFile = -11483;
inline constexpr QOXError kQOXErrNoOutputSpecified = -11482;
inline constexpr QOXError kQOXErrTooManyOutputOptions = -11481;
inline constexpr QOXError kQOXErrNoEventHandler = -11480;
inline constexpr QOXError kQOXErrNeedKeyDBForDecoding = -11479;
inline constexpr QOXError kQOXErrDetachedSigNoCallback = -11478;
inline constexpr QOXError kQOXErrNoDecryptionKey = -11477;
inline constexpr QOXError kQOXErrBadSessionKey = -11476;
inline constexpr QOXError kQOXErrSkipSection = -11475;
inline constexpr QOXError kQOXErrInterruptedJob = -11474;
inline constexpr QOXError kQOXErrARRLimitExceeded = -11473;
inline constexpr QOXError kQOXErrKeyCannotDecrypt = -11472;
inline constexpr QOXError kQOXErrIncompatibleAPIVersion = -11460;
inline constexpr QOXError kQOXErrNotMacBinary = -11450;
inline constexpr QOXError kQOXErrCannotTranslateMacBinary = -11449;
inline constexpr QOXError kQOXErrBadSignature = -11448;
inline constexpr QOXError kQOXErrKeyNotSupportedByCAPI = -11447;
inline constexpr QOXError kQOXErrSelfTestFailed = -11446;
inline constexpr QOXError kQOXErrSelfTestsNotExecuted = -11445;
inline constexpr QOXError kQOXErrModificationDetected = -11444;
inline constexpr QOXError kQOXErrDecompressionFailed = -11443;
inline constexpr QOXError kQOXErrInconsistentFilterClasses = -11440;
inline constexpr QOXError kQOXErrSearchUnavailableLDAP = -11439;
inline constexpr QOXError kQOXErrSearchUnavailableHTTP = -11438;
inline constexpr QOXError kQOXErrUnknownFilterType = -11437;
inline constexpr QOXError kQOXErrInvalidFilterParameter = -11436;
inline constexpr QOXError kQOXErrUnsupportedFilterType = -11435;
inline constexpr QOXError kQOXErrKeyringBitsExhausted = -11420;
inline constexpr QOXError kQOXErrUnknownHashNumber = -11419;
inline constexpr QOXError kQOXErrUnknownCipherNumber = -11418;
inline constexpr QOXError kQOXErrBadCipherKeyLength = -11417;
inline constexpr QOXError kQOXErrSizeAdviseFailure = -11416;
inline constexpr QOXError kQOXErrConfigParseFailure = -11415;
inline constexpr QOXError kQOXErrBadConfigFunction = -11414;
inline constexpr QOXError kQOXErrUnknownConfigOption = -11413;
inline constexpr QOXError kQOXErrKeyLocked = -11412;
inline constexpr QOXError kQOXErrCannotDecryptMessage = -11411;
inline constexpr QOXError kQOXErrUnknownKeyString = -11410;
inline constexpr QOXError kQOXErrSessionKeyTooShort = -11409;
inline constexpr QOXError kQOXErrUnknownVersion = -11408;
inline constexpr QOXError kQOXErrUnknownSessionKeyAlgorithm = -11407;
inline constexpr QOXError kQOXErrUnknownSignatureType = -11406;
inline constexpr QOXError kQOXErrBadSignatureSize = -11405;
inline constexpr QOXError kQOXErrSignatureBitsWrong = -11404;
inline constexpr QOXError kQOXErrBadSigExtraData = -11403;
inline constexpr QOXError kQOXErrNoSecretKeyFound = -11402;
inline constexpr QOXError kQOXErrARRKeyNotFound = -11401;
inline constexpr QOXError kQOXErrInvalidCommitResponse = -11400;
inline constexpr QOXError kQOXErrCannotHashMessage = -11399;
inline constexpr QOXError kQOXErrUnbalancedScope = -11398;
inline constexpr QOXError kQOXErrDataSentInWrongScope = -11397;
inline constexpr QOXError kQOXErrIncompleteFifoRead = -11396;
inline constexpr QOXError kQOXErrRandSeedTooSmall = -11395;
inline constexpr QOXError kQOXErrEnvPriorityTooLow = -11394;
inline constexpr QOXError kQOXErrUnknownCharset = -11393;
inline constexpr QOXError kQOXErrAsciiArmorIncomplete = -11392;
inline constexpr QOXError kQOXErrBadPacket = -11391;
inline constexpr QOXError kQOXErrKeyMatchesSubkey = -11390;
inline constexpr QOXError kQOXErrSigBySubKey = -11389;
inline constexpr QOXError kQOXErrTrustPacketMalformed = -11388;
inline constexpr QOXError kQOXErrUnknownPacketByte = -11387;
inline constexpr QOXError kQOXErrSubKeyBeforeKey = -11386;
inline constexpr QOXError kQOXErrNameBeforeKey = -11385;
inline constexpr QOXError kQOXErrSigBeforeKey = -11384;
inline constexpr QOXError kQOXErrUnknownPacketBeforeKey = -11383;
inline constexpr QOXError kQOXErrUnexpectedTrustPacket = -11382;
inline constexpr QOXError kQOXErrKeyGrosslyOversized = -11381;
inline constexpr QOXError kQOXErrSecretKeyGrosslyOversized = -11380;
inline constexpr QOXError kQOXErrNameGrosslyOversized = -11379;
inline constexpr QOXError kQOXErrSigGrosslyOversized = -11378;
inline constexpr QOXError kQOXErrUnknownPacketTooLarge = -11377;
inline constexpr QOXError kQOXErrDuplicateKeyID = -11376;
inline constexpr QOXError kQOXErrDuplicateKey = -11375;
inline constexpr QOXError kQOXErrDuplicateSecret = -11374;
inline constexpr QOXError kQOXErrDuplicateName = -11373;
inline constexpr QOXError kQOXErrDuplicateSignature = -11372;
inline constexpr QOXError kQOXErrDuplicateUnknown = -11371;
inline constexpr QOXError kQOXErrKeyWithNoNames = -11370;
inline constexpr QOXError kQOXErrLegalKludge1 = -11369;
inline constexpr QOXError kQOXErrLegalKludge2 = -11368;
inline constexpr QOXError kQOXErrPassphraseOutOfDate = -11367;
inline constexpr QOXError kQOXErrPassphraseNewer = -11366;
inline constexpr QOXError kQOXErrNonExportableSigOnImport = -11365;
inline constexpr QOXError kQOXErrDuplicateCRL = -11364;
inline constexpr QOXError kQOXErrCRLTooLarge = -11363;
inline constexpr QOXError kQOXErrKeyPacketTrailingJunk = -11350;
inline constexpr QOXError kQOXErrKeyPacketTruncated = -11349;
inline constexpr QOXError kQOXErrKeyVersionUnknown = -11348;
inline constexpr QOXError kQOXErrKeyAlgorithmUnknown = -11347;
inline constexpr QOXError kQOXErrKeyModulusMalformed = -11346;
inline constexpr QOXError kQOXErrKeyExponentMalformed = -11345;
inline constexpr QOXError kQOXErrRSAPublicModulusEven = -11344;
inline constexpr QOXError kQOXErrRSAPublicExponentEven = -11343;
inline constexpr QOXError kQOXErrKeyComponentMalformed = -11342;
inline constexpr QOXError kQOXErrKeyTooLarge = -11341;
inline constexpr QOXError kQOXErrPublicKeyTooSmall = -11340;
inline constexpr QOXError kQOXErrPublicKeyTooBig = -11339;
inline constexpr QOXError kQOXErrUnimplementedPKOperation = -11338;
inline constexpr QOXError kQOXErrTruncatedCRLPacket = -11337;
inline constexpr QOXError kQOXErrSigTrailingJunk = -11330;
inline constexpr QOXError kQOXErrSigTruncated = -11329;
inline constexpr QOXError kQOXErrSigIntegerMalformed = -11328;
inline constexpr QOXError kQOXErrSigAlgorithmUnknown = -11327;
inline constexpr QOXError kQOXErrBadSigExtraMaterial = -11326;
inline constexpr QOXError kQOXErrSigVersionUnknown = -11325;
inline constexpr QOXError kQOXErrRevocationKeyNotFound = -11324;
inline constexpr QOXError kQOXErrOutOfEntropy = -11320;
inline constexpr QOXError kQOXErrObjectReadOnly = -11319;
inline constexpr QOXError kQOXErrInvalidPropertyName = -11318;
inline constexpr QOXError kQOXErrKeyDatabaseCorrupt = -11317;
inline constexpr QOXError kQOXErrDuplicateCertification = -11316;
inline constexpr QOXError kQOXErrDuplicateUserID = -11315;
inline constexpr QOXError kQOXErrCertifyingKeyNoLongerValid = -11314;
inline constexpr QOXError kQOXErrObjectDeleted = -11313;
inline constexpr QOXError kQOXErrMismatchedKeyDatabases = -11312;
inline constexpr QOXError kQOXErrServerOperationInProgress = -11300;
inline constexpr QOXError kQOXErrServerOperationNotSupported = -11299;
inline constexpr QOXError kQOXErrInvalidServerProtocol = -11298;
inline constexpr QOXError kQOXErrServerRequestRejected = -11297;
inline constexpr QOXError kQOXErrServerAlreadyOpen = -11296;
inline constexpr QOXError kQOXErrServerNotOpen = -11295;
inline constexpr QOXError kQOXErrKeyAlreadyOnServer = -11294;
inline constexpr QOXError kQOXErrServerNotInitialized = -11293;
inline constexpr QOXError kQOXErrServerPartialAdd = -11292;
inline constexpr QOXError kQOXErrCorruptKeyblock = -11291;
inline constexpr QOXError kQOXErrUnknownResponseFromServer = -11290;
inline constexpr QOXError kQOXErrServerRequestTimedOut = -11289;
inline constexpr QOXError kQOXErrServerOpenFailed = -11288;
inline constexpr QOXError kQOXErrServerAuthorizationRequired = -11287;
inline constexpr QOXError kQOXErrServerAuthorizationFailed = -11286;
inline constexpr QOXError kQOXErrServerSearchFailed = -11285;
inline constexpr QOXError kQOXErrServerPartialResults = -11284;
inline constexpr QOXError kQOXErrServerCorruptKeys = -11283;
inline constexpr QOXError kQOXErrServerPolicyCheckFailed = -11282;
inline constexpr QOXError kQOXErrServerRequiresTLS = -11281;
inline constexpr QOXError kQOXErrServerThreadStorage = -11280;
inline constexpr QOXError kQOXErrCertificateNotFound = -11279;
inline constexpr QOXError kQOXErrTLSUnexpectedClose = -11250;
inline constexpr QOXError kQOXErrTLSProtocolViolation = -11249;
inline constexpr QOXError kQOXErrTLSVersionIncompatible = -11248;
inline constexpr QOXError kQOXErrTLSHandshakeViolation = -11247;
inline constexpr QOXError kQOXErrTLSRemoteAbort = -11246;
inline constexpr QOXError kQOXErrTLSKeyUnsupported = -11245;
inline constexpr QOXError kQOXErrTLSEncryptionUnsupported = -11244;
inline constexpr QOXError kQOXErrTLSWouldBlock = -11243;
inline constexpr QOXError kQOXErrTLSRekeyRequested = -11242;
inline constexpr QOXError kQOXErrRequiredCertNotFound = -11240;
inline constexpr QOXError kQOXErrUnexpectedSelfSignedCert = -11239;
inline constexpr QOXError kQOXErrInvalidCertSignature = -11238;
inline constexpr QOXError kQOXErrInvalidCertFormat = -11237;
inline constexpr QOXError kQOXErrNoInverse = -11150;
inline constexpr QOXError kQOXErrNetworkDown = -11100;
inline constexpr QOXError kQOXErrSocketsNotInitialized = -11099;
inline constexpr QOXError kQOXErrSocketsCallAlreadyInProgress = -11098;
inline constexpr QOXError kQOXErrSocketNotConnected = -11097;
inline constexpr QOXError kQOXErrSocketNotBound = -11096;
inline constexpr QOXError kQOXErrSocketOpNotSupported = -11095;
inline constexpr QOXError kQOXErrSocketProtocolNotSupported = -11094;
inline constexpr QOXError kQOXErrSocketFamilyNotSupported = -11093;
inline constexpr QOXError kQOXErrNotSocket = -11092;
inline constexpr QOXError kQOXErrSocketAddressInUse = -11091;
inline constexpr QOXError kQOXErrSocketBufferOverflow = -11090;
inline constexpr QOXError kQOXErrSocketListenQueueFull = -11089;
inline constexpr QOXError kQOXErrSocketAddressNotAvailable = -11088;
inline constexpr QOXError kQOXErrSocketAlreadyConnected = -11087;
inline constexpr QOXError kQOXErrSocketTimedOut = -11086;
inline constexpr QOXError kQOXErrSocketsThreadStorage = -11085;
inline constexpr QOXError kQOXErrHostNotFound = -11050;
inline constexpr QOXError kQOXErrDNSError = -11049;
inline constexpr QOXError kQOXErrX509UnsupportedAttribute = -10999;
inline constexpr QOXError kQOXErrPKCS7ParseFailed = -10998;
inline constexpr QOXError kQOXErrCMSInitFailed = -10997;
inline constexpr QOXError kQOXErrX509BadDNCharacter = -10996;
inline constexpr QOXError kQOXErrX509RequestFailed = -10995;
inline constexpr QOXError kQOXErrX509CertNotFound = -10994;
inline constexpr QOXError kQOXErrPKCS7SignFailed = -10993;
inline constexpr QOXError kQOXErrASN1PackFailed = -10992;
inline constexpr QOXError kQOXErrUnknownInputFormat = -10991;
inline constexpr QOXError kQOXErrUnknownOutputFormat = -10990;
inline constexpr QOXError kQOXErrX509BadExtension = -10989;
inline constexpr QOXError kQOXErrX509PublicKeyNotFound = -10988;
inline constexpr QOXError kQOXErrX509MissingAttribute = -10979;
inline constexpr QOXError kQOXErrX509BadCharacter = -10978;
inline constexpr QOXError kQOXErrX509BadAttributeType = -10977;
inline constexpr QOXError kQOXErrX509BadCertType = -10976;
inline constexpr QOXError kQOXErrX509BadAttributeLength = -10975;
inline constexpr QOXError kQOXErrX509BadAuthenticatedValue = -10974;
inline constexpr QOXError kQOXErrLDAPOperationsError = -10950;
inline constexpr QOXError kQOXErrLDAPProtocolError = -10949;
inline constexpr QOXError kQOXErrLDAPTimeLimitExceeded = -10948;
inline constexpr QOXError kQOXErrLDAPSizeLimitExceeded = -10947;
inline constexpr QOXError kQOXErrLDAPStrongAuthNotSupported = -10946;
inline constexpr QOXError kQOXErrLDAPStrongAuthRequired = -10945;
inline constexpr QOXError kQOXErrLDAPPartialResults = -10944;
inline constexpr QOXError kQOXErrLDAPNoSuchAttribute = -10943;
inline constexpr QOXError kQOXErrLDAPUndefinedType = -10942;
inline constexpr QOXError kQOXErrLDAPInappropriateMatching = -10941;
inline constexpr QOXError kQOXErrLDAPConstraintViolation = -10940;
inline constexpr QOXError kQOXErrLDAPTypeOrValueExists = -10939;
inline constexpr QOXError kQOXErrLDAPInvalidSyntax = -10938;
inline constexpr QOXError kQOXErrLDAPNoSuchObject = -10937;
inline constexpr QOXError kQOXErrLDAPAliasProblem = -10936;
inline constexpr QOXError kQOXErrLDAPInvalidDNSyntax = -10935;
inline constexpr QOXError kQOXErrLDAPIsLeaf = -10934;
inline constexpr QOXError kQOXErrLDAPAliasDerefProblem = -10933;
inline constexpr QOXError kQOXErrLDAPInappropriateAuth = -10932;
inline constexpr QOXError kQOXErrLDAPInvalidCredentials = -10931;
inline constexpr QOXError kQOXErrLDAPInsufficientAccess = -10930;
inline constexpr QOXError kQOXErrLDAPBusy = -10929;
inline constexpr QOXError kQOXErrLDAPUnavailable = -10928;
inline constexpr QOXError kQOXErrLDAPUnwillingToPerform = -10927;
inline constexpr QOXError kQOXErrLDAPLoopDetect = -10926;
inline constexpr QOXError kQOXErrLDAPNamingViolation = -10925;
inline constexpr QOXError kQOXErrLDAPObjectClassViolation = -10924;
inline constexpr QOXError kQOXErrLDAPNotAllowedOnNonleaf = -10923;
inline constexpr QOXError kQOXErrLDAPNotAllowedOnRDN = -10922;
inline constexpr QOXError kQOXErrLDAPAlreadyExists = -10921;
inline constexpr QOXError kQOXErrLDAPNoObjectClassMods = -10920;
inline constexpr QOXError kQOXErrLDAPResultsTooLarge = -10919;
inline constexpr QOXError kQOXErrLDAPOther = -10918;
inline constexpr QOXError kQOXErrLDAPServerDown = -10917;
inline constexpr QOXError kQOXErrLDAPLocalError = -10916;
inline constexpr QOXError kQOXErrLDAPEncodingError = -10915;
inline constexpr QOXError kQOXErrLDAPDecodingError = -10914;
inline constexpr QOXError kQOXErrLDAPTimeout = -10913;
inline constexpr QOXError kQOXErrLDAPAuthUnknown = -10912;
inline constexpr QOXError kQOXErrLDAPFilterError = -10911;
inline constexpr QOXError kQOXErrLDAPUserCancelled = -10910;
inline constexpr QOXError kQOXErrLDAPParamError = -10909;
inline constexpr QOXError kQOXErrLDAPConnectError = -10908;
inline constexpr QOXError kQOXErrLDAPURLNotLDAP = -10880;
inline constexpr QOXError kQOXErrLDAPURLNoBaseDN = -10879;
inline constexpr QOXError kQOXErrLDAPURLBadScope = -10878;

// Lowest and highest code of the toolkit's range.
inline constexpr QOXError kQOXSDKErrFirst = -11500;
inline constexpr QOXError kQOXSDKErrLast = -10878;

// Writes the message of code into buffer. Codes from -12000 up to, not
// including, -11500 are answered by QOXGetPFLErrorString. For the others a
// null buffer or a size of 0 gives -12000; the buffer is emptied, the text is
// the table's row or "QOXError #<code>" for a code without one, and it is
// copied whole (0) or cut to bufferSize - 1 bytes plus a NUL (kQOXErrBufferTooSmall).
QOXError QOXGetErrorString(QOXError code, size_t bufferSize, char* buffer);

// The toolkit table's message for code, or null when the table has no row.
const char* qoxFindSDKErrorMessage(QOXError code);

#endif  // OSTRAK_FOUNDATION_SDK_ERRORS_H_
