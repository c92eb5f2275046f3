// StringSplitter.h: QELStringSplitter, the module's tokenizer: cuts a text into fields
// at every occurrence of a delimiter and hands the fields out by index.
#pragma once

#include <cstdint>

#include "foundation/Array.h"
#include "foundation/String.h"

class QELStringSplitter : public QELObject {
public:
    // Flags of split: the delimiter matches ignoring ASCII case.
    enum Flags : uint32_t { kIgnoreCase = 1u };

    // No source, no delimiter, no fields.
    QELStringSplitter();
    // Splits source at delimiter (see split).
    QELStringSplitter(const QELString &source, const QELString &delimiter, uint32_t flags = 0);
    QELStringSplitter(const QELStringSplitter &other);
    QELStringSplitter &operator=(const QELStringSplitter &other);
    ~QELStringSplitter() override;

    // Keeps source and delimiter and records where every field starts: a text holding
    // the delimiter k times has k + 1 fields. An empty source or delimiter gives no
    // fields. Splitting again replaces the previous fields.
    void split(const QELString &source, const QELString &delimiter, uint32_t flags = 0);

    uint32_t fieldCount() const { return fieldStarts_.count(); }
    // A copy of field index, without delimiters; the empty string when index is at or
    // beyond fieldCount().
    QELString field(uint32_t index) const;
    // Where field index begins in source() and how many bytes it holds (both 0 when
    // index is at or beyond fieldCount()): field access without a copy.
    uint32_t fieldStart(uint32_t index) const;
    uint32_t fieldLength(uint32_t index) const;

    const QELString &source() const { return source_; }
    const QELString &delimiter() const { return delimiter_; }

private:
    QELString source_;
    QELString delimiter_;
    // Slot k holds the offset in source_ at which field k begins.
    QELArray fieldStarts_;
};
