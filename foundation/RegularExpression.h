// RegularExpression.h: QELRegularExpression, the module's own small regular-expression
// engine (greedy, no backtracking), and QELRegexNode, one node of its compiled tree.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/Owned.h"
#include "foundation/String.h"

// One entry of an expression's match table: where a span starts and how long it is.
struct QELRegexSlot {
    uint32_t start = 0;
    uint32_t length = 0;
};

// A node of a compiled expression. A node without children is a leaf that matches one
// byte (against its set, or any byte but CR and LF); a node with children is a sequence
// of them or, with kAlternation, a choice between its two children. Every node carries
// its own repeat counts and anchors.
class QELRegexNode : public QELObject {
public:
    enum Flags : uint16_t {
        kLineStart = 0x0001,     // the match begins at 0 or right after CR or LF
        kLineEnd = 0x0002,       // the match ends at the end or right before CR or LF
        kOneOrMore = 0x0004,     // "+"
        kZeroOrMore = 0x0008,    // "*"
        kOptional = 0x0010,      // "?"
        kCounted = 0x0020,       // "{m,n}"
        kAnyCharacter = 0x0040,  // a leaf matching any byte except CR and LF
        kNegatedSet = 0x0080,    // a leaf matching a byte that is not in its set
        kAlternation = 0x0100,   // two children, tried in order
        kGroup = 0x0200,         // a capturing group, its span written to its slot
    };
    // Slots of the table a node writes to: 0 for the whole match, 1 to 9 for groups.
    static constexpr uint32_t kSlotCount = 10;
    static constexpr uint32_t kNotRepeated = UINT32_MAX;

    // The subject of one match. With a memo, repeated nodes remember where their
    // repetitions end at each index, so that trying every index stays linear.
    class Memo;
    struct Subject {
        const uint8_t *bytes;
        uint32_t length;
        Memo *memo;  // null: every repetition is walked
    };

    // A new node: no children, no flags, minimum 1, maximum 1, an empty set. slots (kSlotCount
    // entries) and groupCounter are the owning expression's, shared by all its nodes.
    QELRegexNode(QELRegexSlot *slots, uint32_t *groupCounter);
    // Deletes the children.
    ~QELRegexNode() override;
    QELRegexNode(const QELRegexNode &) = delete;
    QELRegexNode &operator=(const QELRegexNode &) = delete;

    // Compiles one piece of a marked-up pattern into this node and its children: anchors,
    // then a group, an alternation of two parts or a sequence of bracket expressions and
    // atoms. Returns 0, or -1 for a piece the dialect refuses (a third alternative, a bare
    // "(", ")", "*", "+", ",", "?", "[", "]", "{" or "}", a bad escape, a bad quantifier).
    int32_t Compile(const QELString &text);
    // Appends a new empty child sharing this node's slot table and group counter; the
    // child is owned by this node. Throws QELObject::MemoryAllocationFailure.
    QELRegexNode *AddChild();
    // Numbers every repeated node of this subtree ("*", "+" or a count) from *next on,
    // for the memo of a search; returns nothing, raises *next.
    void NumberRepeatedNodes(uint32_t *next);

    // Matches this node at index: repeats greedily and never gives back, then checks the
    // count and the anchors; a group writes its span (all repetitions) to its slot when it
    // has one (groups past the ninth match but are not recorded). On success stores the
    // length matched and returns true. An iteration that consumes nothing ends the
    // repetition; since every further iteration would match the same empty text there,
    // it also stands for the iterations still needed to reach the minimum.
    bool Match(const Subject &subject, uint32_t index, uint32_t *length) const;

    const QELString &source() const { return source_; }
    uint32_t childCount() const { return children_.count(); }
    // Child index, or null when index is at or beyond childCount().
    const QELRegexNode *child(uint32_t index) const;
    uint16_t flags() const { return flags_; }
    uint32_t group() const { return group_; }
    uint8_t minimum() const { return minimum_; }
    // 0 means no limit.
    uint8_t maximum() const { return maximum_; }
    bool inSet(uint8_t byte) const { return (set_[byte / 8] & (0x80 >> (byte % 8))) != 0; }

private:
    int32_t CompileGroup(const char *text, uint32_t length);
    int32_t CompileAlternation(const char *text, uint32_t length, uint32_t bar);
    int32_t CompileSequence(const char *text, uint32_t length);
    // A bracket expression "[...]" with an optional quantifier, into a new leaf.
    int32_t CompileBracket(const char *text, uint32_t length);
    // A run of atoms, each into a new leaf with its quantifier.
    int32_t CompileAtoms(const char *text, uint32_t length);
    // Parses the quantifier at text[at] (nothing there is none) into this node and stores
    // the bytes it took in *taken. Returns 0, or -1 for a bad quantifier.
    int32_t ParseQuantifier(const char *text, uint32_t length, uint32_t at, uint32_t *taken);
    void AddToSet(uint8_t byte) { set_[byte / 8] |= static_cast<uint8_t>(0x80 >> (byte % 8)); }
    // Every byte from first to last, compared as signed bytes; nothing when last is above
    // 127 or first above last.
    void AddRange(char first, char last);

    bool MatchesByte(uint8_t byte) const;
    bool Repeats() const { return (flags_ & (kOneOrMore | kZeroOrMore | kCounted)) != 0; }
    // One iteration of a node with children at position: the first child that matches
    // for an alternation, every child in turn for a sequence.
    bool Iterate(const Subject &subject, uint32_t position, uint32_t *consumed) const;
    // The repetition from index: where it ends and how many iterations it made (at least
    // the minimum when an iteration consumed nothing; counts from the memo stop at 255).
    void Repeat(const Subject &subject, uint32_t index, uint32_t *end, uint32_t *count) const;
    // With the memo: the first index at or after position whose byte this leaf refuses.
    uint32_t RunEnd(const Subject &subject, uint32_t position) const;
    // With the memo: the end and count of an unlimited repetition from position.
    void Tail(const Subject &subject, uint32_t position, uint32_t *end, uint32_t *count) const;

    QELString source_;
    QELArray children_;
    QELRegexSlot *slots_;
    uint32_t *groupCounter_;
    uint16_t flags_ = 0;
    uint32_t group_ = 0;
    uint8_t minimum_ = 1;
    uint8_t maximum_ = 1;
    uint8_t set_[32] = {};
    // This node's tables in a search's memo, or kNotRepeated.
    uint32_t repeatedIndex_ = kNotRepeated;
};

// A compiled pattern and its match table. The dialect: "^" and "$" anchor at line ends
// (CR or LF), "." is any byte but CR and LF, "[...]" sets with ranges and "^", "\" escapes
// only $()*+.?[\]^{}, quantifiers "*", "+", "?", "{m}", "{m,n}", "{m,}", "{,n}" (capped at
// 255), "|" between at most two alternatives, groups "(...)" that do not nest, "\d" and
// the like and "[:digit:]" and the like as shorthands, and "[,]" for a literal comma.
// Repetition is greedy and never gives back: "a*a" matches nothing.
class QELRegularExpression : public QELObject {
public:
    static constexpr uint32_t kSlotCount = QELRegexNode::kSlotCount;

    // An empty root, group counter 0, every slot zero; matches nothing until compiled.
    QELRegularExpression();
    ~QELRegularExpression() override;
    // The nodes point at this object's slot table, so it is neither copied nor moved.
    QELRegularExpression(const QELRegularExpression &) = delete;
    QELRegularExpression &operator=(const QELRegularExpression &) = delete;

    // Compiles pattern, replacing whatever was compiled before: the root, the group
    // counter and every slot start afresh, so one expression can check many patterns.
    // Returns 0 on success; a positive number (one more than the index in the marked-up
    // pattern of a nested "(", a "{" without "}", or the end of an unclosed "[" or "(")
    // or -1 (a piece the dialect refuses). After a failure the expression matches
    // nothing. Throws only QELObject::MemoryAllocationFailure.
    int32_t Compile(const QELString &pattern);

    // Tries the expression at start, then at every later index up to the last byte; the
    // first index where it matches wins and slot 0 receives that index and the length.
    // False when nothing matches, when start is not below the subject's length, and
    // when the last Compile failed. Group slots written by failed attempts stay. Linear in
    // the subject's length (the memo it builds takes up to 5 bytes per subject byte for
    // each repeated node); throws only QELObject::MemoryAllocationFailure.
    bool Search(const QELString &subject, uint32_t start = 0);
    // Tries the expression at index only (the byte before index decides "^"): on
    // success stores the length matched (also in slot 0) and returns true. False when
    // it does not match there, when index is not below the subject's length, and when
    // the last Compile failed.
    bool MatchAt(const QELString &subject, uint32_t index, uint32_t *length);
    // MatchAt index 0: the address check. The match need not cover the whole subject
    // ("$" holds before a CR or LF), so a caller that wants the whole text compares
    // *length with the subject's length.
    bool MatchAtStart(const QELString &subject, uint32_t *length) { return MatchAt(subject, 0, length); }

    // The start index and length in slot 0: the last successful match.
    void GetMatch(uint32_t *start, uint32_t *length) const;
    // The span last written by group number (1 to 9); false for any other number.
    bool GetGroup(uint32_t number, uint32_t *start, uint32_t *length) const;
    // Groups compiled so far, those past the ninth included.
    uint32_t groupCount() const { return groupCounter_; }
    const QELRegexNode &root() const { return *root_; }

private:
    // Pass 1: class names and backslash shorthands become bracket expressions and bytes.
    static void SubstituteShorthands(QELString &text);
    // Pass 2: byte 1 around bracket expressions, byte 2 around groups. Returns 0 or the
    // positive error.
    static int32_t MarkStructure(QELString &text);
    // Back to the state of a new expression.
    void Reset();

    QELOwned<QELRegexNode> root_;
    QELRegexSlot slots_[kSlotCount];
    uint32_t groupCounter_ = 0;
    uint32_t repeatedNodeCount_ = 0;
    bool compiled_ = false;
};
