// The query strings built from key filters: the key server's LDAP filter,
// the X.509 directory's LDAP filter, the HTTP key server's query and the
// certificate authority's HTTP query.
//
// User-ID values inside the LDAP forms are escaped for the LDAP client's
// filter reader (net/ldap_filter.cc), which takes the character after a
// backslash literally in every value: "(", ")" and "\" are preceded by a
// backslash, so a name holding them reads back as itself; "*" stays a
// wildcard. A value ends at its length or at a NUL byte.
//
// The text grows in the context's memory (from 1000 bytes, by at least 500
// at a time) without a cap; the result is handed out as a data block of the
// context's memory manager.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "foundation/context.h"
#include "foundation/keydb_services.h"
#include "foundation/memory_mgr.h"
#include "foundation/sdk_errors.h"
#include "foundation/sdk_time.h"
#include "keydb/filter.h"
#include "keydb/key_id.h"
#include "keydb/obj_properties.h"

namespace {

constexpr size_t kInitialCapacity = 1000;
constexpr size_t kGrowth = 500;

// A growing text in the context's memory; the owner of its block until
// Release.
class Text {
 public:
  explicit Text(QOXContext* context) : context_(context) {}
  ~Text() {
    if (block_ != nullptr) qoxContextMemFree(context_, block_);
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  QOXError Append(std::string_view s) {
    if (length_ + s.size() + 1 > capacity_) {
      size_t want = capacity_ == 0 ? kInitialCapacity : capacity_ + kGrowth;
      if (want < length_ + s.size() + 1) want = length_ + s.size() + 1 + kGrowth;
      void* block = block_;
      if (block == nullptr) {
        block = qoxContextMemAlloc(context_, want, 0);
        if (block == nullptr) return kQOXErrOutOfMemory;
      } else if (qoxContextMemRealloc(context_, &block, want, 0) != kQOXErrNoErr) {
        return kQOXErrOutOfMemory;
      }
      block_ = static_cast<char*>(block);
      capacity_ = want;
    }
    if (!s.empty()) std::memcpy(block_ + length_, s.data(), s.size());
    length_ += s.size();
    block_[length_] = '\0';
    return kQOXErrNoErr;
  }
  QOXError Append(std::string_view a, std::string_view b, std::string_view c) {
    QOXError err = Append(a);
    if (err == kQOXErrNoErr) err = Append(b);
    if (err == kQOXErrNoErr) err = Append(c);
    return err;
  }

  // The text (an empty one made on demand); the caller owns it.
  char* Release() {
    if (block_ == nullptr && Append("") != kQOXErrNoErr) return nullptr;
    char* out = block_;
    block_ = nullptr;
    return out;
  }

 private:
  QOXContext* context_;
  char* block_ = nullptr;
  size_t length_ = 0;
  size_t capacity_ = 0;
};

bool Is(const QOXFilter* f, KeyDBObjProperty p) { return f->property == static_cast<int32_t>(p); }

// The value bytes up to the first NUL.
std::string_view ValueText(const QOXFilter* f) {
  if (f->data == nullptr) return {};
  const auto* p = reinterpret_cast<const char*>(f->data);
  const void* nul = std::memchr(p, 0, f->dataLength);
  return {p, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - p) : f->dataLength};
}

// A user-ID value for the LDAP forms.
QOXError EscapedValue(const QOXFilter* f, Text* out) {
  for (char c : ValueText(f)) {
    if (c == '(' || c == ')' || c == '\\') {
      if (QOXError err = out->Append("\\"); err != kQOXErrNoErr) return err;
    }
    if (QOXError err = out->Append(std::string_view(&c, 1)); err != kQOXErrNoErr) return err;
  }
  return kQOXErrNoErr;
}

// The filter's value as a key ID (copied, never read past the value).
QOXError ValueKeyID(const QOXFilter* f, QOXKeyID* out) {
  std::memset(out, 0, sizeof *out);
  if (f->dataLength < sizeof(QOXKeyID)) return kQOXErrBadParams;
  std::memcpy(out, f->data, sizeof *out);
  return kQOXErrNoErr;
}

// The full key ID in upper-case hexadecimal without its "0x".
QOXError KeyIDDigits(const QOXFilter* f, char (&digits)[kQOXKeyIDStringSize], size_t* outCount) {
  QOXKeyID id;
  if (QOXError err = ValueKeyID(f, &id); err != kQOXErrNoErr) return err;
  char text[kQOXKeyIDStringSize];
  if (QOXError err = QOXGetKeyIDString(&id, kQOXKeyIDString_Full, text); err != kQOXErrNoErr) return err;
  const size_t n = std::strlen(text + 2);
  std::memcpy(digits, text + 2, n + 1);
  *outCount = n;
  return kQOXErrNoErr;
}

QOXError Ordered(Text* out, uint32_t criterion, const char* attribute, const char* value) {
  switch (criterion) {
    case kQOXMatchCriterion_Equal: {
      QOXError err = out->Append("(", attribute, "=");
      return err == kQOXErrNoErr ? out->Append(value, ")", "") : err;
    }
    case kQOXMatchCriterion_GreaterOrEqual:
    case kQOXMatchCriterion_LessOrEqual: {
      const char* op = criterion == kQOXMatchCriterion_GreaterOrEqual ? ">=" : "<=";
      QOXError err = out->Append("(|(", attribute, op);
      if (err == kQOXErrNoErr) err = out->Append(value, ")(", attribute);
      if (err == kQOXErrNoErr) err = out->Append("=", value, "))");
      return err;
    }
    default:
      return kQOXErrInvalidFilterParameter;
  }
}

QOXError AlgorithmClause(const QOXFilter* f, Text* out) {
  switch (f->number) {
    case 1:
    case 2:
    case 3:
      return out->Append("(qoxKeyType=RSA)");
    case 16:
    case 17:
      return out->Append("(qoxKeyType=DSS/DH)");
    default:
      return kQOXErrInvalidFilterParameter;
  }
}

QOXError TimeClause(const QOXFilter* f, const char* attribute, Text* out) {
  if (f->time == 0) return kQOXErrNoErr;
  // The server stores these attributes in UTC.
  const time_t t = QOXGetStdTimeFromQOXTime(f->time);
  struct tm broken;
  if (gmtime_r(&t, &broken) == nullptr) return kQOXErrOutOfMemory;
  char value[32];
  std::snprintf(value, sizeof value, "%4d%02d%02d%02d%02d%02dZ", broken.tm_year + 1900, broken.tm_mon + 1,
                broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec);
  return Ordered(out, f->criterion, attribute, value);
}

QOXError UserIDClause(const QOXFilter* f, const char* attribute, Text* out) {
  Text value(f->context);
  if (QOXError err = EscapedValue(f, &value); err != kQOXErrNoErr) return err;
  char* v = value.Release();
  if (v == nullptr) return kQOXErrOutOfMemory;
  const std::string_view escaped(v);
  QOXError err;
  if (f->criterion == kQOXMatchCriterion_SubString) {
    if (escaped.empty() || escaped == "*") {
      err = out->Append("(", attribute, "=*)");
    } else {
      err = out->Append("(", attribute, "=*");
      if (err == kQOXErrNoErr) err = out->Append(escaped, "*)", "");
    }
  } else {
    err = out->Append("(", attribute, "=");
    if (err == kQOXErrNoErr) err = out->Append(escaped, ")", "");
  }
  qoxContextMemFree(f->context, v);
  return err;
}

QOXError EmailClause(const QOXFilter* f, Text* out) {
  const bool sub = f->criterion == kQOXMatchCriterion_SubString;
  QOXError err = out->Append(sub ? "(qoxUserID=*<*" : "(qoxUserID=*<");
  if (err == kQOXErrNoErr) err = EscapedValue(f, out);
  if (err == kQOXErrNoErr) err = out->Append(sub ? "*>*)" : ">*)");
  return err;
}

QOXError KeyIDClause(const QOXFilter* f, const char* shortAttribute, const char* longAttribute, Text* out) {
  char digits[kQOXKeyIDStringSize];
  size_t n = 0;
  if (QOXError err = KeyIDDigits(f, digits, &n); err != kQOXErrNoErr) return err;
  const char* attribute = longAttribute;
  if (shortAttribute != nullptr && n == 8) attribute = shortAttribute;
  QOXError err = out->Append("(", attribute, "=");
  return err == kQOXErrNoErr ? out->Append(digits, ")", "") : err;
}

// The boolean operators, shared by both LDAP forms.
template <typename Build>
QOXError Boolean(const QOXFilter* f, Text* out, Build build) {
  const char* op = f->filterType == kQOXFilterType_Not ? "(!" : f->filterType == kQOXFilterType_And ? "(&" : "(|";
  QOXError err = out->Append(op);
  if (err == kQOXErrNoErr) err = build(f->first, out);
  if (err == kQOXErrNoErr && f->filterType != kQOXFilterType_Not) err = build(f->second, out);
  if (err == kQOXErrNoErr) err = out->Append(")");
  return err;
}

bool IsBoolean(const QOXFilter* f) {
  return f->filterType == kQOXFilterType_Not || f->filterType == kQOXFilterType_And ||
         f->filterType == kQOXFilterType_Or;
}

struct KeyServerBuild {
  bool testsDisabled = false;

  QOXError operator()(const QOXFilter* f, Text* out) {
    if (IsBoolean(f)) return Boolean(f, out, [this](const QOXFilter* c, Text* o) { return (*this)(c, o); });
    using P = KeyDBObjProperty;
    switch (f->filterType) {
      case kQOXFilterType_KeyData:
        return Is(f, P::KeyKeyID) ? KeyIDClause(f, "qoxKeyID", "qoxCertID", out) : kQOXErrNoErr;
      case kQOXFilterType_KeyNumber:
        if (Is(f, P::KeyAlgorithm)) return AlgorithmClause(f, out);
        if (Is(f, P::KeyBits)) {
          char value[16];
          std::snprintf(value, sizeof value, "%05d", static_cast<int32_t>(f->number));
          return Ordered(out, f->criterion, "qoxKeySize", value);
        }
        return kQOXErrNoErr;
      case kQOXFilterType_KeyTime:
        if (Is(f, P::KeyCreation)) return TimeClause(f, "qoxKeyCreateTime", out);
        if (Is(f, P::KeyExpiration)) return TimeClause(f, "qoxKeyExpireTime", out);
        return kQOXErrNoErr;
      case kQOXFilterType_KeyBoolean:
        if (Is(f, P::KeyIsRevoked)) return out->Append(f->boolean ? "(qoxRevoked=1)" : "(qoxRevoked=0)");
        if (Is(f, P::KeyIsDisabled)) {
          testsDisabled = true;
          return out->Append(f->boolean ? "(qoxDisabled=1)" : "(qoxDisabled=0)");
        }
        return kQOXErrNoErr;
      case kQOXFilterType_UserIDData:
        if (Is(f, P::UserIDName)) return UserIDClause(f, "qoxUserID", out);
        if (Is(f, P::UserIDEmailAddress)) return EmailClause(f, out);
        return kQOXErrNoErr;
      case kQOXFilterType_SigData:
        return Is(f, P::SigKeyID) ? KeyIDClause(f, nullptr, "qoxSignerID", out) : kQOXErrNoErr;
      case kQOXFilterType_SubKeyData:
        return Is(f, P::SubKeyKeyID) ? KeyIDClause(f, nullptr, "qoxSubKeyID", out) : kQOXErrNoErr;
      case kQOXFilterType_SubKeyNumber:
        return Is(f, P::SubKeyAlgorithm) ? AlgorithmClause(f, out) : kQOXErrNoErr;
      default:
        return kQOXErrUnknownFilterType;
    }
  }
};

QOXError X509Build(const QOXFilter* f, Text* out) {
  if (IsBoolean(f)) return Boolean(f, out, X509Build);
  switch (f->filterType) {
    case kQOXFilterType_UserIDData:
      return Is(f, KeyDBObjProperty::UserIDName) ? UserIDClause(f, "cn", out) : kQOXErrNoErr;
    case kQOXFilterType_KeyData:
    case kQOXFilterType_KeyNumber:
    case kQOXFilterType_KeyTime:
    case kQOXFilterType_KeyBoolean:
      return kQOXErrSearchUnavailableLDAP;
    default:
      return kQOXErrUnknownFilterType;
  }
}

QOXError HKSBuild(const QOXFilter* f, Text* out) {
  switch (f->filterType) {
    case kQOXFilterType_KeyData: {
      QOXKeyID id;
      if (QOXError err = ValueKeyID(f, &id); err != kQOXErrNoErr) return err;
      char text[kQOXKeyIDStringSize];
      if (QOXError err = QOXGetKeyIDString(&id, kQOXKeyIDString_Abbreviated, text); err != kQOXErrNoErr) return err;
      return out->Append(text);
    }
    case kQOXFilterType_UserIDData: {
      if (f->criterion != kQOXMatchCriterion_SubString) return kQOXErrSearchUnavailableHTTP;
      static constexpr char kHex[] = "0123456789ABCDEF";
      for (char ch : ValueText(f)) {
        const auto c = static_cast<unsigned char>(ch);
        char piece[3];
        size_t n = 1;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
          piece[0] = static_cast<char>(c);
        } else if (c == ' ') {
          piece[0] = '+';
        } else {
          piece[0] = '%';
          piece[1] = kHex[c >> 4];
          piece[2] = kHex[c & 15];
          n = 3;
        }
        if (QOXError err = out->Append(std::string_view(piece, n)); err != kQOXErrNoErr) return err;
      }
      return kQOXErrNoErr;
    }
    case kQOXFilterType_Not:
    case kQOXFilterType_And:
    case kQOXFilterType_Or:
    case kQOXFilterType_KeyNumber:
    case kQOXFilterType_KeyBoolean:
      return kQOXErrSearchUnavailableHTTP;
    default:
      return kQOXErrUnknownFilterType;
  }
}

QOXError CorvixBuild(const QOXFilter* f, Text* out) {
  if (f->filterType != kQOXFilterType_KeyData) return kQOXErrUnsupportedFilterType;
  const char* prefix = Is(f, KeyDBObjProperty::KeyFingerprint)  ? "md5="
                       : Is(f, KeyDBObjProperty::KeyX509Digest) ? "cnk="
                                                                : nullptr;
  if (prefix == nullptr) return kQOXErrUnsupportedFilterType;
  static constexpr char kHex[] = "0123456789ABCDEF";
  QOXError err = out->Append(prefix);
  for (uint32_t i = 0; err == kQOXErrNoErr && i < f->dataLength; ++i) {
    const char pair[2] = {kHex[f->data[i] >> 4], kHex[f->data[i] & 15]};
    err = out->Append(std::string_view(pair, 2));
  }
  return err;
}

// The common frame of the four public builders.
template <typename Build>
QOXError Query(QOXFilter* filter, char** outText, Build build) {
  if (outText == nullptr) return kQOXErrBadParams;
  *outText = nullptr;
  if (!qoxFilterIsValid(filter)) return kQOXErrBadParams;
  if (QOXError err = qoxEnterFunction(); err != kQOXErrNoErr) return err;
  Text text(filter->context);
  if (QOXError err = build(filter, &text); err != kQOXErrNoErr) return err;
  char* out = text.Release();
  if (out == nullptr) return kQOXErrOutOfMemory;
  *outText = out;
  return kQOXErrNoErr;
}

}  // namespace

QOXError QOXLDAPQueryFromFilter(QOXFilter* filter, char** outText) {
  return Query(filter, outText, [](const QOXFilter* f, Text* out) {
    KeyServerBuild build;
    Text inner(f->context);
    QOXError err = build(f, &inner);
    if (err != kQOXErrNoErr) return err;
    char* clauses = inner.Release();
    if (clauses == nullptr) return kQOXErrOutOfMemory;
    if (build.testsDisabled) {
      err = out->Append(clauses);
    } else {
      err = out->Append("(&", clauses, "(qoxDisabled=0))");
    }
    qoxContextMemFree(f->context, clauses);
    return err;
  });
}

QOXError QOXLDAPX509QueryFromFilter(QOXFilter* filter, char** outText) {
  return Query(filter, outText, X509Build);
}

QOXError QOXHKSQueryFromFilter(QOXFilter* filter, char** outText) {
  return Query(filter, outText, [](const QOXFilter* f, Text* out) {
    QOXError err = out->Append("exact=off&search=");
    return err == kQOXErrNoErr ? HKSBuild(f, out) : err;
  });
}

QOXError QOXCorvixCAHTTPQueryFromFilter(QOXFilter* filter, char** outText) {
  return Query(filter, outText, CorvixBuild);
}
