// The compiler parses the pattern into a small tree (checking the syntax and
// adding up the size the classic node program would take: 1 magic byte, 3
// bytes a node, literal and set operands with their NUL), then lowers the
// tree into instructions for a breadth-first matcher: every live position in
// the program advances one subject byte at a time, so a match costs time
// proportional to subject length times program length and never recurses
// on the subject.
#include "foundation/regex.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/context.h"

namespace {

constexpr uint8_t kMagic = 0x9C;
constexpr size_t kMaxProgramSize = 32766;
constexpr int kMaxGroups = 9;
constexpr const char* kMeta = "^$.[()|?+*\\";

enum Op : uint8_t { kOpMatch, kOpChar, kOpAny, kOpSet, kOpBol, kOpEol, kOpSplit, kOpJmp };

struct Inst {
  uint8_t op;
  uint8_t ch;      // kOpChar
  uint8_t negate;  // kOpSet: 1 matches bytes outside the set
  uint8_t pad;
  int32_t x;  // kOpSet: set index; kOpSplit/kOpJmp: first target
  int32_t y;  // kOpSplit: second target
};

using CharSet = std::array<uint8_t, 32>;

}  // namespace

// The compiled record: this header, the instructions, then the sets.
struct QOXRegExp {
  uint8_t magic;
  uint8_t pad[3];
  uint32_t instCount;
  uint32_t setCount;
  uint32_t pad2;
};

namespace {

enum Kind : uint8_t { kChar, kAny, kSet, kBol, kEol, kCat, kAlt, kStar, kPlus, kQuest, kEmpty };

struct Node {
  Kind kind;
  uint8_t ch = 0;
  uint8_t negate = 0;
  int32_t set = 0;
  std::vector<int> kids;
};

constexpr int kHasWidth = 1;  // never matches the empty string
constexpr int kSimple = 2;    // matches exactly one character

class Parser {
 public:
  explicit Parser(const char* pattern) : p_(reinterpret_cast<const unsigned char*>(pattern)) {}

  // The root node, or -1 with error_ set.
  int Parse() {
    int flags = 0;
    int root = Reg(false, &flags);
    if (root >= 0 && size_ > kMaxProgramSize) return Fail(kQOXErrBadParams);
    return root;
  }

  QOXError error() const { return error_; }
  std::vector<Node> nodes;
  std::vector<CharSet> sets;

 private:
  int Fail(QOXError e) {
    if (error_ == 0) error_ = e;
    return -1;
  }
  int Add(Kind kind) {
    nodes.push_back(Node{kind, 0, 0, 0, {}});
    return static_cast<int>(nodes.size()) - 1;
  }
  unsigned char Cur() const { return p_[i_]; }
  static bool IsOp(unsigned char c) { return c == '*' || c == '+' || c == '?'; }

  int Reg(bool paren, int* flags) {
    *flags = kHasWidth;
    if (paren) {
      if (groups_ >= kMaxGroups) return Fail(kQOXErrOutOfMemory);
      ++groups_;
      size_ += 3;  // open node
    }
    int alt = Add(kAlt);
    for (;;) {
      int branchFlags = 0;
      int branch = Branch(&branchFlags);
      if (branch < 0) return -1;
      nodes[alt].kids.push_back(branch);
      if (!(branchFlags & kHasWidth)) *flags &= ~kHasWidth;
      if (Cur() != '|') break;
      ++i_;
    }
    size_ += 3;  // close or end node
    if (paren) {
      if (Cur() != ')') return Fail(kQOXErrOutOfMemory);
      ++i_;
    } else if (Cur() != '\0') {
      return Fail(kQOXErrOutOfMemory);  // a ')' without '('
    }
    return alt;
  }

  int Branch(int* flags) {
    *flags = 0;
    size_ += 3;  // branch node
    int cat = Add(kCat);
    bool any = false;
    while (Cur() != '\0' && Cur() != '|' && Cur() != ')') {
      int pieceFlags = 0;
      int piece = Piece(&pieceFlags);
      if (piece < 0) return -1;
      nodes[cat].kids.push_back(piece);
      *flags |= pieceFlags & kHasWidth;
      any = true;
    }
    if (!any) size_ += 3;  // nothing node
    return cat;
  }

  int Piece(int* flags) {
    int atomFlags = 0;
    int atom = Atom(&atomFlags);
    if (atom < 0) return -1;
    unsigned char op = Cur();
    if (!IsOp(op)) {
      *flags = atomFlags;
      return atom;
    }
    if (!(atomFlags & kHasWidth) && op != '?') return Fail(kQOXErrOutOfMemory);
    bool simple = (atomFlags & kSimple) != 0;
    if (op == '*') size_ += simple ? 3 : 12;
    if (op == '+') size_ += simple ? 3 : 12;
    if (op == '?') size_ += 9;
    int n = Add(op == '*' ? kStar : op == '+' ? kPlus : kQuest);
    nodes[n].kids.push_back(atom);
    ++i_;
    if (IsOp(Cur())) return Fail(kQOXErrOutOfMemory);
    *flags = op == '+' ? kHasWidth : 0;
    return n;
  }

  int Atom(int* flags) {
    *flags = 0;
    unsigned char c = Cur();
    switch (c) {
      case '^':
        ++i_;
        size_ += 3;
        return Add(kBol);
      case '$':
        ++i_;
        size_ += 3;
        return Add(kEol);
      case '.':
        ++i_;
        size_ += 3;
        *flags = kHasWidth | kSimple;
        return Add(kAny);
      case '[':
        ++i_;
        *flags = kHasWidth | kSimple;
        return Set();
      case '(': {
        ++i_;
        int groupFlags = 0;
        int n = Reg(true, &groupFlags);
        *flags = groupFlags & kHasWidth;
        return n;
      }
      case '|':
      case ')':
      case '\0':
      case '?':
      case '+':
      case '*':
        return Fail(kQOXErrOutOfMemory);
      case '\\': {
        ++i_;
        if (Cur() == '\0') return Fail(kQOXErrOutOfMemory);
        int n = Add(kChar);
        nodes[n].ch = Cur();
        ++i_;
        size_ += 5;
        *flags = kHasWidth | kSimple;
        return n;
      }
      default: {
        // A literal run up to the next metacharacter; when an operator
        // follows, its last character stands alone so the operator takes it.
        size_t len = strcspn(reinterpret_cast<const char*>(p_ + i_), kMeta);
        if (len > 1 && IsOp(p_[i_ + len])) --len;
        size_ += 3 + len + 1;
        *flags = kHasWidth | (len == 1 ? kSimple : 0);
        if (len == 1) {
          int n = Add(kChar);
          nodes[n].ch = p_[i_++];
          return n;
        }
        int cat = Add(kCat);
        for (size_t k = 0; k < len; ++k) {
          int n = Add(kChar);
          nodes[n].ch = p_[i_++];
          nodes[cat].kids.push_back(n);
        }
        return cat;
      }
    }
  }

  int Set() {
    CharSet set{};
    uint8_t negate = 0;
    size_t members = 0;
    auto put = [&](unsigned char ch) {
      set[ch >> 3] |= static_cast<uint8_t>(1u << (ch & 7));
      ++members;
    };
    if (Cur() == '^') {
      negate = 1;
      ++i_;
    }
    if (Cur() == ']' || Cur() == '-') put(p_[i_++]);
    while (Cur() != '\0' && Cur() != ']') {
      if (Cur() == '-') {
        ++i_;
        if (Cur() == ']' || Cur() == '\0') {
          put('-');
        } else {
          // The range starts at the pattern byte before the '-'.
          int from = p_[i_ - 2] + 1;
          int to = p_[i_];
          if (from > to + 1) return Fail(kQOXErrOutOfMemory);
          for (; from <= to; ++from) put(static_cast<unsigned char>(from));
          ++i_;
        }
      } else {
        put(p_[i_++]);
      }
    }
    if (Cur() != ']') return Fail(kQOXErrOutOfMemory);
    ++i_;
    size_ += 3 + members + 1;
    sets.push_back(set);
    int n = Add(kSet);
    nodes[n].negate = negate;
    nodes[n].set = static_cast<int32_t>(sets.size()) - 1;
    return n;
  }

  const unsigned char* p_;
  size_t i_ = 0;
  int groups_ = 0;
  size_t size_ = 1;  // the magic byte
  QOXError error_ = 0;
};

class Lowering {
 public:
  explicit Lowering(const std::vector<Node>& nodes) : nodes_(nodes) {}

  void Emit(int index) {
    const Node& n = nodes_[index];
    switch (n.kind) {
      case kChar:
        Push(kOpChar).ch = n.ch;
        break;
      case kAny:
        Push(kOpAny);
        break;
      case kSet: {
        Inst& in = Push(kOpSet);
        in.x = n.set;
        in.negate = n.negate;
        break;
      }
      case kBol:
        Push(kOpBol);
        break;
      case kEol:
        Push(kOpEol);
        break;
      case kEmpty:
        break;
      case kCat:
        for (int kid : n.kids) Emit(kid);
        break;
      case kAlt: {
        std::vector<int> jumps;
        for (size_t k = 0; k < n.kids.size(); ++k) {
          if (k + 1 == n.kids.size()) {
            Emit(n.kids[k]);
            break;
          }
          int split = Here();
          Push(kOpSplit);
          code[split].x = Here();
          Emit(n.kids[k]);
          jumps.push_back(Here());
          Push(kOpJmp);
          code[split].y = Here();
        }
        for (int j : jumps) code[j].x = Here();
        break;
      }
      case kStar:
      case kQuest: {
        // split(operand, past); operand; for '*' a jump back to the split.
        int split = Here();
        Push(kOpSplit);
        code[split].x = Here();
        Emit(n.kids[0]);
        if (n.kind == kStar) Push(kOpJmp).x = split;
        code[split].y = Here();
        break;
      }
      case kPlus: {
        int start = Here();
        Emit(n.kids[0]);
        int split = Here();
        Push(kOpSplit);
        code[split].x = start;
        code[split].y = Here();
        break;
      }
    }
  }

  std::vector<Inst> code;

 private:
  int Here() const { return static_cast<int>(code.size()); }
  Inst& Push(Op op) {
    code.push_back(Inst{op, 0, 0, 0, 0, 0});
    return code.back();
  }
  const std::vector<Node>& nodes_;
};

const Inst* Code(const QOXRegExp* e) { return reinterpret_cast<const Inst*>(e + 1); }
const CharSet* Sets(const QOXRegExp* e) {
  return reinterpret_cast<const CharSet*>(Code(e) + e->instCount);
}

// Adds pc and everything reachable from it without consuming a byte at
// subject offset pos. True when the match instruction is reached.
bool AddThread(const QOXRegExp* e, std::vector<int>& list, std::vector<uint32_t>& mark, uint32_t gen,
               std::vector<int>& stack, int pc, size_t pos, size_t length) {
  const Inst* code = Code(e);
  stack.clear();
  stack.push_back(pc);
  while (!stack.empty()) {
    int at = stack.back();
    stack.pop_back();
    if (mark[at] == gen) continue;
    mark[at] = gen;
    const Inst& in = code[at];
    switch (in.op) {
      case kOpMatch:
        return true;
      case kOpJmp:
        stack.push_back(in.x);
        break;
      case kOpSplit:
        stack.push_back(in.y);
        stack.push_back(in.x);
        break;
      case kOpBol:
        if (pos == 0) stack.push_back(at + 1);
        break;
      case kOpEol:
        if (pos == length) stack.push_back(at + 1);
        break;
      default:
        list.push_back(at);
        break;
    }
  }
  return false;
}

}  // namespace

QOXError qoxRegComp(QOXContext* context, const char* pattern, QOXRegExp** expression) {
  if (expression == nullptr || pattern == nullptr || !qoxContextIsValid(context)) return kQOXErrBadParams;
  *expression = nullptr;
  try {
    Parser parser(pattern);
    int root = parser.Parse();
    if (root < 0) return parser.error();
    Lowering lowering(parser.nodes);
    lowering.Emit(root);
    lowering.code.push_back(Inst{kOpMatch, 0, 0, 0, 0, 0});
    size_t codeBytes = lowering.code.size() * sizeof(Inst);
    size_t setBytes = parser.sets.size() * sizeof(CharSet);
    auto* e = static_cast<QOXRegExp*>(qoxContextMemAlloc(context, sizeof(QOXRegExp) + codeBytes + setBytes, 0));
    if (e == nullptr) return kQOXErrOutOfMemory;
    e->magic = kMagic;
    e->instCount = static_cast<uint32_t>(lowering.code.size());
    e->setCount = static_cast<uint32_t>(parser.sets.size());
    memcpy(e + 1, lowering.code.data(), codeBytes);
    if (setBytes != 0) memcpy(reinterpret_cast<uint8_t*>(e + 1) + codeBytes, parser.sets.data(), setBytes);
    *expression = e;
    return 0;
  } catch (const std::bad_alloc&) {
    return kQOXErrOutOfMemory;
  }
}

int qoxRegExec(const QOXRegExp* expression, const char* subject) {
  if (expression == nullptr || subject == nullptr || expression->magic != kMagic) return kQOXErrBadParams;
  const Inst* code = Code(expression);
  const CharSet* sets = Sets(expression);
  const auto* s = reinterpret_cast<const unsigned char*>(subject);
  size_t length = strlen(subject);
  try {
    size_t n = expression->instCount;
    std::vector<int> current, next, stack;
    std::vector<uint32_t> mark(n, 0);
    current.reserve(n);
    next.reserve(n);
    uint32_t gen = 1;
    for (size_t pos = 0;; ++pos) {
      // A new attempt begins at every position.
      if (AddThread(expression, current, mark, gen, stack, 0, pos, length)) return 1;
      if (pos == length) return 0;
      unsigned char c = s[pos];
      ++gen;
      next.clear();
      for (int pc : current) {
        const Inst& in = code[pc];
        bool take = false;
        if (in.op == kOpChar) {
          take = in.ch == c;
        } else if (in.op == kOpAny) {
          take = true;
        } else if (in.op == kOpSet) {
          bool member = (sets[in.x][c >> 3] >> (c & 7)) & 1;
          take = member != (in.negate != 0);
        }
        if (take && AddThread(expression, next, mark, gen, stack, pc + 1, pos + 1, length)) return 1;
      }
      current.swap(next);
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
}
