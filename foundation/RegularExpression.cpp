// RegularExpression.cpp: compiling a pattern in four passes (shorthands, structure marks,
// pieces, nodes) and matching the node tree greedily, with a memo that keeps searches linear.
#include "foundation/RegularExpression.h"

#include <cstring>

namespace {

constexpr char kBracketMark = 1;
constexpr char kGroupMark = 2;
constexpr uint32_t kUnknown = UINT32_MAX;
// Memo counts stop here: no minimum is higher.
constexpr uint32_t kCountCap = 255;

void DeleteNode(uintptr_t *slot) {
    delete reinterpret_cast<QELRegexNode *>(*slot);
    *slot = 0;
}

void DeleteBuffer(uintptr_t *slot) {
    delete reinterpret_cast<QELByteBuffer *>(*slot);
    *slot = 0;
}

bool IsLineBreak(uint8_t byte) { return byte == '\r' || byte == '\n'; }

// The index of the first (or last) byte c in text[0, length), or kUnknown.
uint32_t FindByte(const char *text, uint32_t length, char c, bool last) {
    for (uint32_t k = 0; k < length; ++k) {
        const uint32_t i = last ? length - 1 - k : k;
        if (text[i] == c)
            return i;
    }
    return kUnknown;
}

// Pass 1, in this order: every occurrence, inside brackets too.
const struct {
    const char *from;
    const char *to;
} kShorthands[] = {
    {"[:alpha:]", "[A-Za-z]"}, {"[:alnum:]", "[0-9A-Za-z]"}, {"[:blank:]", ""},  {"[:cntrl:]", ""},
    {"[:digit:]", "[0-9]"},    {"[:graph:]", ""},            {"[:lower:]", "[a-z]"},
    {"[:print:]", ""},         {"[:punct:]", ""},            {"[:space:]", ""},  {"[:upper:]", "[A-Z]"},
    {"[:xdigit:]", ""},        {"\\c", "[A-Za-z]"},          {"\\C", "[^A-Za-z]"},
    {"\\d", "[0-9]"},          {"\\D", "[^0-9]"},            {"\\s", "[ \\f\\t\\v]"},
    {"\\S", "[^ \\f\\t\\v]"},  {"\\w", "[A-Za-z0-9_]"},      {"\\W", "[^A-Za-z0-9_]"},
    {"\\f", "\f"},             {"\\n", "\n"},                {"\\r", "\r"},      {"\\t", "\t"},
    {"\\v", "\v"},
};

}  // namespace

// The tables of one search: per repeated node, where its repetition from each index ends
// (and for groups how many iterations it made), filled as the search asks.
class QELRegexNode::Memo : public QELObject {
public:
    Memo(uint32_t subjectLength, uint32_t tableCount)
        : length_(subjectLength), ends_(DeleteBuffer), counts_(DeleteBuffer) {
        ends_.resize(tableCount);
        counts_.resize(tableCount);
    }

    // n + 1 entries, kUnknown until set.
    uint32_t *ends(uint32_t table) { return reinterpret_cast<uint32_t *>(Table(ends_, table, 4, 0xFF)); }
    // n + 1 entries, meaningful where ends() is set.
    uint8_t *counts(uint32_t table) { return Table(counts_, table, 1, 0); }

    // Tables are indexed by position up to the length itself.
    static bool Fits(uint32_t subjectLength) { return subjectLength < (UINT32_MAX / 4) - 1; }

private:
    uint8_t *Table(QELArray &tables, uint32_t table, uint32_t entrySize, int fill) {
        uintptr_t *slot = tables.at(table);
        if (*slot == 0) {
            QELOwned<QELByteBuffer> buffer = MakeOwned<QELByteBuffer>((length_ + 1) * entrySize);
            std::memset(buffer->data(), fill, buffer->size());
            *slot = reinterpret_cast<uintptr_t>(buffer.release());
        }
        return reinterpret_cast<QELByteBuffer *>(*slot)->data();
    }

    uint32_t length_;
    QELArray ends_;
    QELArray counts_;
};

QELRegexNode::QELRegexNode(QELRegexSlot *slots, uint32_t *groupCounter)
    : children_(DeleteNode), slots_(slots), groupCounter_(groupCounter) {}

QELRegexNode::~QELRegexNode() = default;

QELRegexNode *QELRegexNode::AddChild() {
    QELOwned<QELRegexNode> node = MakeOwned<QELRegexNode>(slots_, groupCounter_);
    children_.append(reinterpret_cast<uintptr_t>(node.get()));
    return node.release();
}

const QELRegexNode *QELRegexNode::child(uint32_t index) const {
    return reinterpret_cast<const QELRegexNode *>(children_.value(index));
}

void QELRegexNode::NumberRepeatedNodes(uint32_t *next) {
    if (Repeats())
        repeatedIndex_ = (*next)++;
    for (uint32_t i = 0; i < children_.count(); ++i)
        reinterpret_cast<QELRegexNode *>(children_.value(i))->NumberRepeatedNodes(next);
}

// ---- Compiling -------------------------------------------------------------------------

int32_t QELRegexNode::Compile(const QELString &text) {
    source_ = text;
    const char *p = text.text();
    uint32_t length = text.length();
    if (length > 0 && p[0] == '^') {
        flags_ |= kLineStart;
        ++p;
        --length;
    }
    if (length > 0 && p[length - 1] == '$') {
        flags_ |= kLineEnd;
        --length;
    }
    if (length == 0) {
        // Only anchors: the empty text where they hold.
        if (flags_ != 0)
            minimum_ = 0;
        return 0;
    }
    if (p[0] == '(')
        return CompileGroup(p, length);
    const uint32_t bar = FindByte(p, length, '|', false);
    if (bar != kUnknown)
        return CompileAlternation(p, length, bar);
    return CompileSequence(p, length);
}

int32_t QELRegexNode::CompileGroup(const char *text, uint32_t length) {
    group_ = ++*groupCounter_;
    flags_ |= kGroup;
    const uint32_t close = FindByte(text, length, ')', true);
    if (close == kUnknown)
        return -1;
    uint32_t taken = 0;
    if (ParseQuantifier(text, length, close + 1, &taken) != 0 || close + 1 + taken != length)
        return -1;
    return AddChild()->Compile(QELString(text + 1, close - 1));
}

int32_t QELRegexNode::CompileAlternation(const char *text, uint32_t length, uint32_t bar) {
    if (FindByte(text + bar + 1, length - bar - 1, '|', false) != kUnknown)
        return -1;  // at most two alternatives
    flags_ |= kAlternation;
    QELRegexNode *first = AddChild();
    QELRegexNode *second = AddChild();
    const int32_t result = first->Compile(QELString(text, bar));
    if (result != 0)
        return result;
    return second->Compile(QELString(text + bar + 1, length - bar - 1));
}

int32_t QELRegexNode::CompileSequence(const char *text, uint32_t length) {
    uint32_t start = 0;
    while (start < length) {
        uint32_t end = start;
        while (end < length && text[end] != kBracketMark)
            ++end;
        if (end > start) {
            const int32_t result = text[start] == '['
                                       ? CompileBracket(text + start, end - start)
                                       : CompileAtoms(text + start, end - start);
            if (result != 0)
                return result;
        }
        start = end + 1;
    }
    return 0;
}

int32_t QELRegexNode::CompileBracket(const char *text, uint32_t length) {
    QELRegexNode *leaf = AddChild();
    leaf->source_.assign(text, length);
    const uint32_t close = FindByte(text, length, ']', true);
    if (close == kUnknown || close == 0)
        return -1;
    uint32_t taken = 0;
    if (leaf->ParseQuantifier(text, length, close + 1, &taken) != 0 || close + 1 + taken != length)
        return -1;
    const char *set = text + 1;
    uint32_t count = close - 1;
    if (count > 0 && set[0] == '^') {
        leaf->flags_ |= kNegatedSet;
        ++set;
        --count;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (set[i] == '-' && i != 0 && i + 1 != count) {
            leaf->AddRange(set[i - 1], set[i + 1]);
            ++i;  // the range's end is in it already
        } else {
            leaf->AddToSet(static_cast<uint8_t>(set[i]));
        }
    }
    return 0;
}

int32_t QELRegexNode::CompileAtoms(const char *text, uint32_t length) {
    for (uint32_t i = 0; i < length;) {
        QELRegexNode *leaf = AddChild();
        const char c = text[i];
        const uint32_t atom = c == '\\' ? 2 : 1;
        if (i + atom > length)
            return -1;  // a backslash at the end
        uint32_t taken = 0;
        if (leaf->ParseQuantifier(text, length, i + atom, &taken) != 0)
            return -1;
        leaf->source_.assign(text + i, atom + taken);
        switch (c) {
        case '(': case ')': case '*': case '+': case ',': case '?': case '[': case ']': case '{': case '}':
            return -1;
        case '.':
            leaf->flags_ |= kAnyCharacter;
            break;
        case '\\':
            if (std::strchr("$()*+.?[\\]^{}", text[i + 1]) == nullptr || text[i + 1] == 0)
                return -1;
            leaf->AddToSet(static_cast<uint8_t>(text[i + 1]));
            break;
        default:
            leaf->AddToSet(static_cast<uint8_t>(c));
            break;
        }
        i += atom + taken;
    }
    return 0;
}

int32_t QELRegexNode::ParseQuantifier(const char *text, uint32_t length, uint32_t at, uint32_t *taken) {
    *taken = 0;
    if (at >= length)
        return 0;
    switch (text[at]) {
    case '*':
        flags_ |= kZeroOrMore;
        minimum_ = 0;
        maximum_ = 0;
        *taken = 1;
        return 0;
    case '+':
        flags_ |= kOneOrMore;
        minimum_ = 1;
        maximum_ = 0;
        *taken = 1;
        return 0;
    case '?':
        // Without a repeat flag the node stops after one iteration.
        flags_ |= kOptional;
        minimum_ = 0;
        maximum_ = 0;
        *taken = 1;
        return 0;
    case '{':
        break;
    default:
        return 0;
    }
    const uint32_t close = FindByte(text + at, length - at, '}', false);
    if (close == kUnknown || close == 1)
        return -1;  // no "}", or "{}"
    uint32_t first = 0, second = 0;
    bool comma = false;
    for (uint32_t i = at + 1; i < at + close; ++i) {
        const char c = text[i];
        if (c == ',') {
            comma = true;
            second = 0;  // a further comma starts the maximum again
        } else if (c >= '0' && c <= '9') {
            uint32_t &number = comma ? second : first;
            number = number * 10 + static_cast<uint32_t>(c - '0');
            if (number > 255)
                number = 255;
        } else {
            return -1;
        }
    }
    if (!comma)
        second = first;
    if (second != 0 && second < first)
        return -1;
    flags_ |= kCounted;
    minimum_ = static_cast<uint8_t>(first);
    maximum_ = static_cast<uint8_t>(second);
    *taken = close + 1;
    return 0;
}

void QELRegexNode::AddRange(char first, char last) {
    const auto from = static_cast<int8_t>(first);
    const auto to = static_cast<int8_t>(last);
    if (to < 0 || from > to)
        return;
    for (int value = from; value <= to; ++value)
        AddToSet(static_cast<uint8_t>(value));
}

// ---- Matching --------------------------------------------------------------------------

bool QELRegexNode::MatchesByte(uint8_t byte) const {
    if (flags_ & kAnyCharacter)
        return !IsLineBreak(byte);
    return inSet(byte) != ((flags_ & kNegatedSet) != 0);
}

bool QELRegexNode::Iterate(const Subject &subject, uint32_t position, uint32_t *consumed) const {
    if (flags_ & kAlternation)
        return child(0)->Match(subject, position, consumed) || child(1)->Match(subject, position, consumed);
    uint32_t at = position;
    for (uint32_t i = 0; i < children_.count(); ++i) {
        uint32_t length = 0;
        if (!child(i)->Match(subject, at, &length))
            return false;
        at += length;
    }
    *consumed = at - position;
    return true;
}

void QELRegexNode::Repeat(const Subject &subject, uint32_t index, uint32_t *end, uint32_t *count) const {
    const bool memo = subject.memo != nullptr && repeatedIndex_ != kNotRepeated;
    if (children_.count() == 0) {
        // A leaf takes one byte per iteration: up to the first byte it refuses, the end,
        // or its maximum.
        uint32_t limit = subject.length - index;
        if (!Repeats())
            limit = limit < 1 ? limit : 1;
        else if (maximum_ != 0 && limit > maximum_)
            limit = maximum_;
        uint32_t run = 0;
        if (memo)
            run = RunEnd(subject, index) - index;
        else
            while (run < limit && MatchesByte(subject.bytes[index + run]))
                ++run;
        if (run > limit)
            run = limit;
        *end = index + run;
        *count = run;
        return;
    }
    if (memo && maximum_ == 0) {
        Tail(subject, index, end, count);
        return;
    }
    uint32_t at = index;
    uint32_t iterations = 0;
    for (;;) {
        uint32_t consumed = 0;
        if (!Iterate(subject, at, &consumed))
            break;
        if (consumed == 0) {
            // The same empty match again and again: enough of them to meet the minimum.
            iterations = iterations + 1 > minimum_ ? iterations + 1 : minimum_;
            break;
        }
        ++iterations;
        at += consumed;
        if ((maximum_ != 0 && iterations >= maximum_) || !Repeats())
            break;
    }
    *end = at;
    *count = iterations;
}

uint32_t QELRegexNode::RunEnd(const Subject &subject, uint32_t position) const {
    uint32_t *ends = subject.memo->ends(repeatedIndex_);
    if (ends[position] != kUnknown)
        return ends[position];
    // Every index inside one run of accepted bytes ends where the run does.
    uint32_t at = position;
    while (at < subject.length && ends[at] == kUnknown && MatchesByte(subject.bytes[at]))
        ++at;
    // Stopped by a refused byte or the end (the run ends here), or by a run seen before.
    if (ends[at] == kUnknown)
        ends[at] = at;
    const uint32_t end = ends[at];
    for (uint32_t i = position; i < at; ++i)
        ends[i] = end;
    return end;
}

void QELRegexNode::Tail(const Subject &subject, uint32_t position, uint32_t *end, uint32_t *count) const {
    uint32_t *ends = subject.memo->ends(repeatedIndex_);
    uint8_t *counts = subject.memo->counts(repeatedIndex_);
    if (ends[position] == kUnknown) {
        // Walk the chain of iterations until it stops or joins one walked before; every
        // index on it then ends where the chain does, after one iteration fewer than its
        // predecessor. Meanwhile each entry on the chain holds the next index. Only groups
        // are repeated non-leaves and they hold no groups, so no other walk touches these
        // tables before this one has finished.
        uint32_t at = position;
        uint32_t links = 0;
        while (ends[at] == kUnknown) {
            uint32_t consumed = 0;
            if (!Iterate(subject, at, &consumed)) {
                ends[at] = at;
                counts[at] = 0;
            } else if (consumed == 0) {
                ends[at] = at;
                counts[at] = kCountCap;  // meets any minimum, as the walk without memo does
            } else {
                ends[at] = at + consumed;
                ++links;
                at += consumed;
            }
        }
        const uint32_t last = ends[at];
        const uint32_t lastCount = counts[at];
        for (uint32_t index = position, k = 0; index != at; ++k) {
            const uint32_t next = ends[index];
            const uint32_t iterations = links - k + lastCount;
            ends[index] = last;
            counts[index] = static_cast<uint8_t>(iterations < kCountCap ? iterations : kCountCap);
            index = next;
        }
    }
    *end = ends[position];
    *count = counts[position];
}

bool QELRegexNode::Match(const Subject &subject, uint32_t index, uint32_t *length) const {
    // The start anchor depends on index alone, and matching has no effect before the
    // anchors pass, so checking it first gives the same outcome sooner.
    if ((flags_ & kLineStart) && index != 0 && !IsLineBreak(subject.bytes[index - 1]))
        return false;
    uint32_t end = index;
    uint32_t count = 0;
    Repeat(subject, index, &end, &count);
    if (count < minimum_)
        return false;
    if ((flags_ & kLineEnd) && end < subject.length && !IsLineBreak(subject.bytes[end]))
        return false;
    if ((flags_ & kGroup) && group_ < kSlotCount) {
        slots_[group_].start = index;
        slots_[group_].length = end - index;
    }
    *length = end - index;
    return true;
}

// ---- The expression --------------------------------------------------------------------

QELRegularExpression::QELRegularExpression() { Reset(); }

QELRegularExpression::~QELRegularExpression() = default;

void QELRegularExpression::Reset() {
    compiled_ = false;
    root_ = MakeOwned<QELRegexNode>(slots_, &groupCounter_);
    for (QELRegexSlot &slot : slots_)
        slot = QELRegexSlot();
    groupCounter_ = 0;
    repeatedNodeCount_ = 0;
}

void QELRegularExpression::SubstituteShorthands(QELString &text) {
    for (const auto &shorthand : kShorthands)
        text.replaceAll(shorthand.from, QELString(shorthand.to));
}

int32_t QELRegularExpression::MarkStructure(QELString &text) {
    const char *p = text.text();
    const uint32_t length = text.length();
    QELString out;
    out.reserve(length + length / 2 + 8);
    bool inBracket = false;
    bool inGroup = false;
    uint32_t bracketOpen = 0;
    // After a closing "]" or ")": takes "*", "+", "?" or "{...}" (and "$" after a group)
    // along; false for a "{" without "}".
    auto takeQuantifier = [&](uint32_t &i, bool group) {
        if (i >= length)
            return true;
        if (p[i] == '*' || p[i] == '+' || p[i] == '?' || (group && p[i] == '$')) {
            out.append(p[i++]);
        } else if (p[i] == '{') {
            const uint32_t close = FindByte(p + i, length - i, '}', false);
            if (close == kUnknown)
                return false;
            out.append(p + i, close + 1);
            i += close + 1;
        }
        return true;
    };
    for (uint32_t i = 0; i < length;) {
        const char c = p[i];
        if (inBracket) {
            out.append(c);
            ++i;
            if (c == ']' && i - 1 != bracketOpen + 1) {
                if (!takeQuantifier(i, false))
                    return static_cast<int32_t>(out.length()) + 1;
                out.append(kBracketMark);
                inBracket = false;
            }
        } else if (c == '[') {
            out.append(kBracketMark).append(c);
            bracketOpen = i++;
            inBracket = true;
        } else if (c == '(') {
            if (inGroup)
                return static_cast<int32_t>(out.length()) + 1;  // groups do not nest
            // A "^" just before the group belongs to it.
            const uint32_t n = out.length();
            if (n > 0 && out[n - 1] == '^')
                out.insert(&kGroupMark, 1, n - 1);
            else
                out.append(kGroupMark);
            out.append(c);
            ++i;
            inGroup = true;
        } else if (c == ')' && inGroup) {
            out.append(c);
            ++i;
            if (!takeQuantifier(i, true))
                return static_cast<int32_t>(out.length()) + 1;
            out.append(kGroupMark);
            inGroup = false;
        } else {
            out.append(c);
            ++i;
        }
    }
    if (inBracket || inGroup)
        return static_cast<int32_t>(out.length()) + 1;
    text = out;
    return 0;
}

int32_t QELRegularExpression::Compile(const QELString &pattern) {
    Reset();
    QELString text(pattern);
    SubstituteShorthands(text);
    int32_t result = MarkStructure(text);
    if (result != 0)
        return result;
    // Pass 3: every stretch between group marks is one piece, compiled into a child.
    const char *p = text.text();
    const uint32_t length = text.length();
    for (uint32_t start = 0; start < length;) {
        uint32_t end = start;
        while (end < length && p[end] != kGroupMark)
            ++end;
        if (end > start) {
            result = root_->AddChild()->Compile(QELString(p + start, end - start));
            if (result != 0)
                return result;
        }
        start = end + 1;
    }
    root_->NumberRepeatedNodes(&repeatedNodeCount_);
    compiled_ = true;
    return 0;
}

bool QELRegularExpression::Search(const QELString &subject, uint32_t start) {
    const uint32_t length = subject.length();
    if (!compiled_ || start >= length)
        return false;
    QELOwned<QELRegexNode::Memo> memo;
    if (QELRegexNode::Memo::Fits(length))
        memo = MakeOwned<QELRegexNode::Memo>(length, repeatedNodeCount_);
    const QELRegexNode::Subject text{reinterpret_cast<const uint8_t *>(subject.text()), length, memo.get()};
    for (uint32_t index = start; index < length; ++index) {
        uint32_t matched = 0;
        if (root_->Match(text, index, &matched)) {
            slots_[0].start = index;
            slots_[0].length = matched;
            return true;
        }
    }
    return false;
}

bool QELRegularExpression::MatchAt(const QELString &subject, uint32_t index, uint32_t *length) {
    if (!compiled_ || index >= subject.length())
        return false;
    // One attempt walks forward only, so it is linear without a memo.
    const QELRegexNode::Subject text{reinterpret_cast<const uint8_t *>(subject.text()), subject.length(), nullptr};
    uint32_t matched = 0;
    if (!root_->Match(text, index, &matched))
        return false;
    slots_[0].start = index;
    slots_[0].length = matched;
    *length = matched;
    return true;
}

void QELRegularExpression::GetMatch(uint32_t *start, uint32_t *length) const {
    *start = slots_[0].start;
    *length = slots_[0].length;
}

bool QELRegularExpression::GetGroup(uint32_t number, uint32_t *start, uint32_t *length) const {
    if (number == 0 || number >= kSlotCount)
        return false;
    *start = slots_[number].start;
    *length = slots_[number].length;
    return true;
}
