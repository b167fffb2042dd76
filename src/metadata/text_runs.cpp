#include "metadata/text_runs.hpp"

#include <algorithm>
#include <cstdint>

#include "metadata/unicode.hpp"
#include "simd/text_units.hpp"

namespace kestrune::metadata {

namespace {

constexpr std::uint16_t first_text_unit = 32;  // units below are control units

// The units of the file from a starting unit to the end of the unit view, read
// one chunk at a time. A read error ends the units and is remembered.
class UnitReader {
public:
    UnitReader(const io::ByteSource& source, std::uint64_t first_unit, std::uint64_t end_unit,
               std::size_t chunk_size, const io::BetweenChunks& between_chunks)
        : source_(source), between_chunks_(between_chunks), next_unit_(first_unit), end_unit_(end_unit),
          buffer_(std::max<std::size_t>(2, chunk_size & ~std::size_t{1})) {}

    bool failed() const { return failed_; }

    // Advances past units for which `skip` holds. False when the units end first.
    template <class Predicate>
    bool skip_while(Predicate skip) {
        while (available() || refill()) {
            for (; at_ < count_; ++at_) {
                if (!skip(unit_at(at_))) return true;
            }
        }
        return false;
    }

    // Feeds the units of the current run, those of 32 or more, to `decoder`.
    void take_run(Utf16Decoder& decoder) {
        skip_while([&](std::uint16_t unit) {
            if (unit < first_text_unit) return false;
            decoder.feed(unit);
            return true;
        });
    }

    // Advances to the next unit in `wanted`, a vector of units at a time. False when
    // the units end first.
    bool skip_to(simd::UnitRange wanted) {
        while (available() || refill()) {
            at_ = simd::next_unit_in_range(buffer_.data(), at_, count_, wanted);
            if (available()) return true;
        }
        return false;
    }

    // The unit at the current position; only after skip_while or skip_to returned true.
    std::uint16_t current() const { return unit_at(at_); }

private:
    bool available() const { return at_ < count_; }

    std::uint16_t unit_at(std::size_t index) const {
        return static_cast<std::uint16_t>(buffer_[2 * index] | (buffer_[2 * index + 1] << 8));
    }

    bool refill() {
        if (failed_ || next_unit_ >= end_unit_) return false;
        between_chunks_();
        const std::uint64_t wanted = std::min<std::uint64_t>(end_unit_ - next_unit_, buffer_.size() / 2);
        const auto got = source_.read_at(2 * next_unit_, std::span(buffer_).first(2 * wanted));
        if (!got) {
            failed_ = true;
            return false;
        }
        count_ = *got / 2;
        at_ = 0;
        next_unit_ += count_;
        // A short read means the file shrank during the call: its units end there.
        if (count_ < wanted) end_unit_ = next_unit_;
        return count_ > 0;
    }

    const io::ByteSource& source_;
    const io::BetweenChunks& between_chunks_;
    std::uint64_t next_unit_;  // the first unit not yet in the buffer
    std::uint64_t end_unit_;
    std::vector<std::uint8_t> buffer_;
    std::size_t count_ = 0;  // units in the buffer
    std::size_t at_ = 0;     // the current unit's index in the buffer
    bool failed_ = false;
};

std::vector<std::uint8_t> marker_units(std::string_view marker) {
    std::vector<std::uint8_t> bytes;
    for (const char c : marker) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// Moves to the start of the next run. False when the scan ends instead.
bool find_next_run(UnitReader& units, NextRun rule) {
    if (rule == NextRun::printable_ascii) return units.skip_to({first_text_unit, 126});
    return units.skip_to({first_text_unit, 0xFFFF}) && units.current() <= 256;
}

void keep_text(std::vector<std::string>& texts, std::string text, bool drop_duplicates) {
    if (drop_duplicates && std::find(texts.begin(), texts.end(), text) != texts.end()) return;
    texts.push_back(std::move(text));
}

}  // namespace

std::vector<std::string> scan_text_runs(const io::ByteSource& source, const TextRunRules& rules,
                                        std::size_t chunk_size, const io::BetweenChunks& between_chunks) {
    const auto length = source.length();
    if (!length) return {};
    // The unit view stops before a final odd byte.
    const std::uint64_t unit_count = *length / 2;
    const auto marker = marker_units(rules.marker);
    const auto found = io::find_pattern(source, marker, 2 * unit_count, 2, chunk_size, between_chunks);
    if (!found) return {};

    UnitReader units(source, *found / 2, unit_count, chunk_size, between_chunks);
    std::vector<std::string> texts;
    Utf16Decoder decoder;
    for (unsigned step = 1;; ++step) {
        units.take_run(decoder);
        if (std::string text; decoder.finish(text)) keep_text(texts, std::move(text), rules.drop_duplicates);
        if (!find_next_run(units, rules.next_run)) break;
        if (rules.stop_after_short_text && texts.size() >= 2 && texts.back().size() < 2) break;
        if (step >= rules.step_limit) break;
    }
    // A read error stands for a file that could not be read at all.
    if (units.failed()) return {};
    return texts;
}

}  // namespace kestrune::metadata
