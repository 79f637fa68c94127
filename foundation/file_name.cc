// File-name extensions and numbered file names.
#include "foundation/file_name.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// A name split into its name part and its extension part.
struct SplitName {
  std::string_view namePart;
  std::string_view extPart;  // "" or "." followed by the extension
};

// Offset of the extension's dot, or npos.
size_t ExtensionDot(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string_view::npos;
  if (name.size() - dot >= 5) return std::string_view::npos;
  return dot;
}

SplitName Split(const char* name) {
  std::string_view all(name);
  size_t dot = ExtensionDot(all);
  if (dot == std::string_view::npos) return {all, {}};
  return {all.substr(0, dot), all.substr(dot)};
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const char* QOXGetFileNameExtension(const char* name) {
  if (name == nullptr) return nullptr;
  size_t dot = ExtensionDot(name);
  return dot == std::string_view::npos ? nullptr : name + dot + 1;
}

const char* QOXGetEndOfBaseFileName(const char* name) {
  if (name == nullptr) return nullptr;
  size_t dot = ExtensionDot(name);
  return dot == std::string_view::npos ? name + std::strlen(name) : name + dot;
}

QOXError QOXNewNumberFileName(const char* baseName, const char* separator, int32_t number,
                              size_t outSize, char* outName) {
  if (baseName == nullptr || separator == nullptr || outName == nullptr ||
      outName == baseName || outSize < 13) {
    return kQOXErrBadParams;
  }
  char digits[16];
  int numberLength = std::snprintf(digits, sizeof digits, "%ld", static_cast<long>(number));
  size_t numLen = static_cast<size_t>(numberLength);

  SplitName split = Split(baseName);
  std::string_view name = split.namePart;
  std::string_view sep(separator);
  bool hasExt = !split.extPart.empty();
  std::string_view ext = hasExt ? split.extPart.substr(1) : std::string_view();

  auto needed = [&] {
    return name.size() + sep.size() + numLen + (hasExt ? 1 + ext.size() : 0) + 1;
  };
  while (needed() > outSize) {
    if (!name.empty()) {
      name.remove_suffix(1);
    } else if (!sep.empty()) {
      sep.remove_suffix(1);
    } else if (!ext.empty()) {
      ext.remove_suffix(1);
      if (ext.empty()) hasExt = false;
    } else {
      hasExt = false;
    }
  }

  char* out = outName;
  std::memcpy(out, name.data(), name.size());
  out += name.size();
  std::memcpy(out, sep.data(), sep.size());
  out += sep.size();
  std::memcpy(out, digits, numLen);
  out += numLen;
  if (hasExt) {
    *out++ = '.';
    std::memcpy(out, ext.data(), ext.size());
    out += ext.size();
  }
  *out = '\0';
  return kQOXErrNoErr;
}

QOXError QOXVerifyNumberFileName(const char* baseName, const char* separator,
                                 const char* candidate, size_t sizeLimit, uint8_t* outIsMatch,
                                 int32_t* outNumber) {
  if (outIsMatch != nullptr) *outIsMatch = 0;
  if (outNumber != nullptr) *outNumber = -1;
  if (baseName == nullptr || separator == nullptr || candidate == nullptr ||
      outIsMatch == nullptr || outNumber == nullptr) {
    return kQOXErrBadParams;
  }
  SplitName base = Split(baseName);
  SplitName cand = Split(candidate);
  std::string_view sep(separator);
  size_t candidateLength = std::strlen(candidate);

  // The extension may have been shortened, never changed.
  if (cand.extPart == ".") return kQOXErrNoErr;
  if (base.extPart.substr(0, cand.extPart.size()) != cand.extPart) return kQOXErrNoErr;

  // The digit run ends just before the extension part.
  std::string_view name = cand.namePart;
  size_t digitsEnd = name.size();
  size_t digitsStart = digitsEnd;
  while (digitsStart > 0 && IsDigit(name[digitsStart - 1])) --digitsStart;
  if (digitsStart == digitsEnd) return kQOXErrNoErr;
  // A shortened extension means everything before the number went first.
  if (cand.extPart.size() != base.extPart.size() && digitsStart != 0) return kQOXErrNoErr;

  int64_t value = 0;
  for (size_t i = digitsStart; i < digitsEnd; ++i) {
    value = value * 10 + (name[i] - '0');
    if (value > INT32_MAX) return kQOXErrNoErr;
  }

  size_t sepStart = digitsStart >= sep.size() ? digitsStart - sep.size() : 0;
  std::string_view prefix = name.substr(0, sepStart);
  std::string_view sepText = name.substr(sepStart, digitsStart - sepStart);

  if (prefix.size() > base.namePart.size()) return kQOXErrNoErr;
  // A shorter name part is accepted only for names made at the size limit.
  if (prefix.size() < base.namePart.size() && candidateLength + 1 < sizeLimit) {
    return kQOXErrNoErr;
  }
  if (base.namePart.substr(0, prefix.size()) != prefix) return kQOXErrNoErr;
  if (sep.substr(0, sepText.size()) != sepText) return kQOXErrNoErr;

  *outIsMatch = 1;
  *outNumber = static_cast<int32_t>(value);
  return kQOXErrNoErr;
}
