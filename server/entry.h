// Directory entries in memory: values, attributes, entries, the attribute
// syntax table, value comparison, and the entry text form the backend
// stores (one text per entry in its ID-to-entry table).
//
// Ownership: every record and byte here comes from the server allocator
// (zovurezMalloc). A value vector is a null-terminated array of BerValue
// pointers and owns each value and its bytes; copies made here carry one
// NUL after the data (not counted in bv_len), so text values are C strings.
// An Entry owns its DN and its attribute list; an Attribute owns its type
// (stored lower-cased) and its values.
//
// Attribute syntaxes are bit flags: 1 case-insensitive text, 2 case-exact
// text, 4 binary, 9 telephone number (1 | 8: blanks and '-' ignored), 17 DN
// (1 | 16: compared after DN normalisation). Types not registered have
// syntax 1.
//
// Thread safety: the syntax table is written only while the backend starts
// (attr_syntax_config, one thread) and read afterwards. entry2str renders
// into a buffer of its caller's, so any number of threads render at once.
// Everything else works on the caller's own records.
#ifndef OSTRAK_SERVER_ENTRY_H_
#define OSTRAK_SERVER_ENTRY_H_

#include <cstddef>
#include <cstdint>

#include "net/ber.h"  // BerValue
#include "net/ldap_protocol.h"

inline constexpr int kSyntaxCIS = 1;
inline constexpr int kSyntaxCES = 2;
inline constexpr int kSyntaxBinary = 4;
inline constexpr int kSyntaxTelephone = 8;
inline constexpr int kSyntaxDN = 16;

// berValueCmp's normalize bits: compare a normalised copy of a (1), of b (2).
inline constexpr int kNormalizeA = 1;
inline constexpr int kNormalizeB = 2;

struct Attribute {
  char* a_type;        // lower-cased
  BerValue** a_vals;   // null-terminated
  int a_syntax;
  Attribute* a_next;
};

struct Entry {
  char* e_dn;           // or null
  Attribute* e_attrs;   // in the order their types first appeared
  uint32_t e_id;        // 0 when unknown
  // The entry cache's words (zero when an entry is made here).
  int32_t e_state;
  int32_t e_refcnt;
  Entry* e_lrunext;
  Entry* e_lruprev;
};

// One element of an LDAP modification list; mod_op is kModAdd, kModDelete or
// kModReplace (net/ldap_protocol.h), possibly with kModBValues.
inline constexpr int kModBValues = 0x10;  // values given as length-and-bytes

struct Modification {
  int mod_op;
  char* mod_type;
  BerValue** mod_bvalues;
  Modification* mod_next;
};

// --- Values ---
BerValue* berValueDuplicate(const BerValue* value);
// Appends copies of the non-empty values; the vector is made when absent.
// 0, or -1 when memory runs out (the vector then holds what it held).
int berValuesAdd(BerValue*** vector, BerValue** values);
// The bulk form: copies of the non-empty values go from slot count on; the
// capacity (in slots, starting at 1) doubles until count + addCount + 1
// fit. Returns the number of copies stored, or -1 when memory runs out.
int berValuesAddFast(BerValue*** vector, BerValue** values, int count, int addCount, int* capacity);
// Values are counted: a NUL byte is data and compares like any other byte
// (for text syntaxes below every other byte, so a value that ends first
// sorts first). The sign of the result is strcmp's (strcasecmp's for the
// case-insensitive syntaxes) for values without a NUL.
int berValueCmp(const BerValue* a, const BerValue* b, int syntax, int normalize);
// The same over at most the first n bytes (n < 0 counts as 0); a DN value
// compares equal.
int berValueNCmp(const BerValue* a, const BerValue* b, int syntax, int n, int normalize);
// Normalises a NUL-terminated text in place for the syntax.
void berValueNormalize(char* text, int syntax);
// Normalises a counted value in place (each run between NUL bytes as
// berValueNormalize does, the NUL bytes kept) and returns its new length;
// text[length] must be writable and becomes a NUL.
uint32_t berValueNormalizeCounted(char* text, uint32_t length, int syntax);
// 0 when an equal value is in the vector, else 1.
int berValueFind(BerValue** vector, const BerValue* value, int syntax, int normalize);
// A 2-slot vector holding one value that points at data (not copied); one
// block: zovurezFree(vector) releases it.
BerValue** make_singlevalued_berval(char* data, uint32_t length);
void berValueFree(BerValue* value);
void berValuesFree(BerValue** vector);

// --- Attributes ---
// 0, or -1 when memory runs out.
int attr_merge(Entry* entry, const char* type, BerValue** values);
// cursor: the attribute slot last used (null: search from the list head).
int attr_merge_fast(Entry* entry, const char* type, BerValue** values, int count, int addCount, int* capacity,
                    Attribute*** cursor);
int AddDirAttrToEntry(Entry* entry, const char* type, const char* data, uint32_t length);
Attribute* attr_find(Attribute* list, const char* type);
// 0, or 1 when there is no attribute of the type.
int attr_delete(Attribute** list, const char* type);
void attr_free(Attribute* attribute);
void attr_normalize(char* type);

// --- The syntax table ---
int attr_syntax(const char* type);
// One syntax line: argv holds one or more names, then the syntax name.
void attr_syntax_config(const char* source, int line, int argc, char** argv);
void attr_syntax_release();

// --- Entries ---
Entry* entry_new();
void entry_free(Entry* entry);
// Grows an array of entry pointers to hold needed slots. 0, or 1 when
// memory runs out (array unchanged).
int GrowEntries(Entry*** array, int needed, int* capacity);
void GiveBackEntry(Entry*** array, int* count);

// --- The entry text form ---
// Parses the text (modified in place) into a new entry, or null.
Entry* str2entry(char* text);
// The caller's buffer of entry2str (server allocator): it grows in steps of
// 1024 bytes as entries need and is kept between calls; it is freed when
// the buffer goes out of scope.
struct EntryTextBuffer {
  char* text = nullptr;
  size_t size = 0;
  EntryTextBuffer() = default;
  ~EntryTextBuffer();
  EntryTextBuffer(const EntryTextBuffer&) = delete;
  EntryTextBuffer& operator=(const EntryTextBuffer&) = delete;
};
// Renders the text form (with the ID line when withID is not 0) into the
// caller's buffer and returns buffer->text, valid until the buffer's next
// use; *length is the text's length without its NUL. Null when memory runs
// out.
[[nodiscard]] char* entry2str(Entry* entry, EntryTextBuffer* buffer, int* length, int withID);

// --- LDIF lines ---
// Bytes put_type_and_value writes for this type and value (no NUL).
size_t ldif_line_size(size_t typeLength, const char* value, size_t length);
void put_type_and_value(char** cursor, const char* type, const char* value, size_t length);
char* ldif_type_and_value(const char* type, const char* value, size_t length);
char* str_getline(char** cursor);
// 0, or -1 when the line is not a valid "type: value" line.
int str_parse_line(char* line, char** type, char** value, int* length);

OSTRAK_DEFINE_DELETER(Entry, entry_free)
OSTRAK_DEFINE_DELETER(Attribute, attr_free)

#endif  // OSTRAK_SERVER_ENTRY_H_
