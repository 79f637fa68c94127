// The entry text form and LDIF lines.
//
// A stored entry is: an optional line with the entry ID in decimal, a "dn"
// line, then one "type: value" line per value (or "type:: Base64" when the
// value is not plain printable text), folded at 76 columns with a newline
// and one blank, ended by an empty line or the end of the text.
//
// Armored key blocks ("qoxkey", "qoxkeyv2") keep to one logical line: LF is
// stored as '!' and CR as '@'. A key block that itself holds '!' or '@' (an
// e-mail address in a "Comment:" header) could not come back from that
// form, so such a block is stored as Base64 of its own bytes instead. On
// reading, a plain value is always mapped back (the old writer mapped every
// block), and a Base64 value is mapped back only when its bytes hold no CR
// and no LF: the old mapped form never does, an unmapped block always does.
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "foundation/base64.h"
#include "server/entry.h"
#include "server/error_log.h"
#include "server/support/zovurez.h"

namespace {

constexpr int kFoldColumn = 76;
constexpr char kFoldMark = 0x01;

bool IsKeyBlockType(const char* type) {
  return strcasecmp(type, "qoxkey") == 0 || strcasecmp(type, "qoxkeyv2") == 0;
}

bool NeedsBase64(const char* value, size_t length) {
  if (length == 0) return false;
  auto first = static_cast<unsigned char>(value[0]);
  if (isspace(first) || first == ':') return true;
  for (size_t i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x80 || !(isalnum(c) || ispunct(c) || c == ' ')) return true;
  }
  return false;
}

// Folds inserted before n value characters whose first column is start.
size_t Folds(size_t start, size_t n) {
  size_t first = start > kFoldColumn ? 0 : kFoldColumn + 1 - start;  // index of the first fold
  return n > first ? 1 + (n - 1 - first) / kFoldColumn : 0;
}

size_t LineSize(size_t typeLength, size_t length, bool base64) {
  size_t n = base64 ? ostrak::Base64EncodedLength(length) : length;
  size_t start = typeLength + (base64 ? 3 : 1);
  return typeLength + (base64 ? 3 : 2) + n + 2 * Folds(start, n) + 1;
}

// Writes one line; base64 forces the Base64 form.
void PutLine(char** cursor, const char* type, const char* value, size_t length, bool base64) {
  char* out = *cursor;
  size_t typeLength = strlen(type);
  memcpy(out, type, typeLength);
  out += typeLength;
  *out++ = ':';
  const char* text = value;
  size_t n = length;
  char* encoded = nullptr;
  if (base64) {
    *out++ = ':';
    *out++ = ' ';
    // Encoded at the end of the line's room first, then folded into place.
    n = ostrak::Base64EncodedLength(length);
    encoded = out + LineSize(typeLength, length, true) - typeLength - 3 - n;
    ostrak::Base64Encode(reinterpret_cast<const uint8_t*>(value), length, encoded);
    text = encoded;
  } else {
    *out++ = ' ';
  }
  size_t column = typeLength + (base64 ? 3 : 1);
  for (size_t i = 0; i < n; ++i) {
    if (column > kFoldColumn) {
      *out++ = '\n';
      *out++ = ' ';
      column = 1;
    }
    *out++ = text[i];  // never ahead of the encoded text still to be read
    ++column;
  }
  *out++ = '\n';
  *cursor = out;
}

// The mapped copy of a key block (LF to '!', CR to '@').
void MapKeyBlock(char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] == '\n') bytes[i] = '!';
    else if (bytes[i] == '\r') bytes[i] = '@';
  }
}

void UnmapKeyBlock(char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] == '!') bytes[i] = '\n';
    else if (bytes[i] == '@') bytes[i] = '\r';
  }
}

// How one value of the type is written: the bytes (possibly a mapped copy
// in *scratch) and whether Base64 is forced.
struct ValueForm {
  const char* bytes;
  bool forceBase64;
};

ValueForm FormOf(const char* type, const BerValue* v, char** scratch) {
  *scratch = nullptr;
  if (!IsKeyBlockType(type)) return {v->bv_val, false};
  if (memchr(v->bv_val, '!', v->bv_len) != nullptr || memchr(v->bv_val, '@', v->bv_len) != nullptr) {
    return {v->bv_val, true};
  }
  *scratch = static_cast<char*>(zovurezMalloc(v->bv_len + 1));
  if (*scratch == nullptr) return {nullptr, false};
  memcpy(*scratch, v->bv_val, v->bv_len);
  MapKeyBlock(*scratch, v->bv_len);
  return {*scratch, false};
}

// Grows the caller's buffer, in steps of 1024 bytes, until need more bytes
// fit after used.
bool Reserve(EntryTextBuffer* buffer, size_t used, size_t need) {
  if (used + need <= buffer->size) return true;
  size_t size = buffer->size;
  while (size < used + need) size += 1024;
  char* grown = static_cast<char*>(zovurezRealloc(buffer->text, size));
  if (grown == nullptr) {
    LogError(kLogError, "Memory allocation error.");
    return false;
  }
  buffer->text = grown;
  buffer->size = size;
  return true;
}

}  // namespace

size_t ldif_line_size(size_t typeLength, const char* value, size_t length) {
  return LineSize(typeLength, length, NeedsBase64(value, length));
}

void put_type_and_value(char** cursor, const char* type, const char* value, size_t length) {
  PutLine(cursor, type, value, length, NeedsBase64(value, length));
}

char* ldif_type_and_value(const char* type, const char* value, size_t length) {
  char* line = static_cast<char*>(zovurezMalloc(ldif_line_size(strlen(type), value, length) + 1));
  if (line == nullptr) return nullptr;
  char* cursor = line;
  put_type_and_value(&cursor, type, value, length);
  *cursor = '\0';
  return line;
}

char* str_getline(char** cursor) {
  if (cursor == nullptr || *cursor == nullptr || **cursor == '\n' || **cursor == '\0') return nullptr;
  char* line = *cursor;
  char* p = line;
  for (;;) {
    p = strchr(p, '\n');
    if (p == nullptr) {
      *cursor = nullptr;
      return line;
    }
    if (p[1] != '\0' && p[1] != '\n' && isspace(static_cast<unsigned char>(p[1]))) {
      p[0] = kFoldMark;
      p[1] = kFoldMark;
      p += 2;
      continue;
    }
    *p = '\0';
    *cursor = p + 1;
    return line;
  }
}

int str_parse_line(char* line, char** type, char** value, int* length) {
  char* p = line;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  char* colon = strchr(p, ':');
  if (colon == nullptr) return -1;
  *type = p;
  char* end = colon;
  while (end > p && isspace(static_cast<unsigned char>(end[-1]))) --end;
  *end = '\0';
  bool base64 = colon[1] == ':';
  char* v = colon + (base64 ? 2 : 1);
  while (isspace(static_cast<unsigned char>(*v)) || *v == kFoldMark) ++v;
  if (*v == '\0') return -1;
  // Drop the fold marks.
  char* out = v;
  for (char* in = v; *in != '\0'; ++in) {
    if (*in != kFoldMark) *out++ = *in;
  }
  *out = '\0';
  *value = v;
  if (!base64) {
    *length = static_cast<int>(out - v);
    return 0;
  }
  // Base64, decoded in place by the strict codec.
  size_t decoded = 0;
  if (!ostrak::Base64Decode(v, static_cast<size_t>(out - v), reinterpret_cast<uint8_t*>(v), &decoded)) return -1;
  v[decoded] = '\0';
  *length = static_cast<int>(decoded);
  return 0;
}

Entry* str2entry(char* text) {
  if (text == nullptr) return nullptr;
  Entry* e = entry_new();
  if (e == nullptr) return nullptr;
  char* cursor = text;
  if (isdigit(static_cast<unsigned char>(*text))) {
    e->e_id = static_cast<uint32_t>(strtoul(text, nullptr, 10));
    char* nl = strchr(text, '\n');
    if (nl == nullptr) {
      entry_free(e);
      return nullptr;
    }
    cursor = nl + 1;
  }
  const char* previousType = nullptr;  // compared in full
  int count = 0, capacity = 0;
  Attribute** slot = nullptr;
  while (char* line = str_getline(&cursor)) {
    char* type;
    char* value;
    int length;
    bool base64 = false;
    {
      char* colon = strchr(line, ':');
      base64 = colon != nullptr && colon[1] == ':';
    }
    if (str_parse_line(line, &type, &value, &length) != 0) continue;
    if (strcasecmp(type, "dn") == 0) {
      if (e->e_dn != nullptr) {
        vuzizTrace(kTraceStartStop, "str2entry: entry %u has multiple dns \"%s\" and \"%s\" (second ignored)\n",
                   e->e_id, e->e_dn, value);
        continue;
      }
      e->e_dn = zovurezStrdup(value);
      if (e->e_dn == nullptr) {
        entry_free(e);
        return nullptr;
      }
      continue;
    }
    if (previousType == nullptr || strcasecmp(type, previousType) != 0) {
      // A new run of values: continue after the values the type already has
      // (a type may come back on a later line).
      previousType = type;
      slot = nullptr;
      count = 0;
      capacity = 0;
      for (Attribute** s = &e->e_attrs; *s != nullptr; s = &(*s)->a_next) {
        if (strcasecmp((*s)->a_type, type) == 0) {
          slot = s;
          while ((*s)->a_vals != nullptr && (*s)->a_vals[count] != nullptr) ++count;
          capacity = count + 1;
          break;
        }
      }
    }
    if (IsKeyBlockType(type)) {
      size_t n = static_cast<size_t>(length);
      bool lineBreaks = memchr(value, '\n', n) != nullptr || memchr(value, '\r', n) != nullptr;
      if (!base64 || !lineBreaks) UnmapKeyBlock(value, n);
    }
    BerValue v{static_cast<uint32_t>(length), value};
    BerValue* values[2] = {&v, nullptr};
    if (attr_merge_fast(e, type, values, count, 1, &capacity, &slot) != 0) {
      entry_free(e);
      return nullptr;
    }
    ++count;
  }
  if (e->e_dn == nullptr) {
    entry_free(e);
    return nullptr;
  }
  return e;
}

EntryTextBuffer::~EntryTextBuffer() { zovurezFree(text); }

char* entry2str(Entry* entry, EntryTextBuffer* buffer, int* length, int withID) {
  size_t used = 0;
  if (withID) {
    if (!Reserve(buffer, used, 12)) return nullptr;
    used += static_cast<size_t>(snprintf(buffer->text + used, 12, "%lu\n", static_cast<unsigned long>(entry->e_id)));
  }
  if (entry->e_dn != nullptr) {
    size_t n = strlen(entry->e_dn);
    if (!Reserve(buffer, used, ldif_line_size(2, entry->e_dn, n) + 1)) return nullptr;
    char* cursor = buffer->text + used;
    put_type_and_value(&cursor, "dn", entry->e_dn, n);
    used = static_cast<size_t>(cursor - buffer->text);
  }
  for (Attribute* a = entry->e_attrs; a != nullptr; a = a->a_next) {
    size_t typeLength = strlen(a->a_type);
    for (int i = 0; a->a_vals != nullptr && a->a_vals[i] != nullptr; ++i) {
      BerValue* v = a->a_vals[i];
      char* scratchText = nullptr;
      ValueForm form = FormOf(a->a_type, v, &scratchText);
      ZovurezPtr<char> scratch(scratchText);
      if (form.bytes == nullptr) {
        LogError(kLogError, "Memory allocation error.");
        return nullptr;
      }
      bool base64 = form.forceBase64 || NeedsBase64(form.bytes, v->bv_len);
      if (!Reserve(buffer, used, LineSize(typeLength, v->bv_len, base64) + 1)) return nullptr;
      char* cursor = buffer->text + used;
      PutLine(&cursor, a->a_type, form.bytes, v->bv_len, base64);
      used = static_cast<size_t>(cursor - buffer->text);
    }
  }
  if (!Reserve(buffer, used, 1)) return nullptr;
  buffer->text[used] = '\0';
  *length = static_cast<int>(used);
  return buffer->text;
}
