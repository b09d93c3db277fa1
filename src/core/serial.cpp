#include "core/serial.hpp"

#include <bit>
#include <cstring>

#include <cstdint>

namespace varnix {

namespace {

constexpr std::string_view kMagic = "VXST";

}  // namespace

// --- Writing ----------------------------------------------------------------------------------

StateWriter::StateWriter(std::string_view class_name) {
    bytes_.append(kMagic);
    u8(kStateFormat);
    u8(static_cast<std::uint8_t>(class_name.size()));
    bytes_.append(class_name);
}

void StateWriter::u64(std::uint64_t v) {
    char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<char>(static_cast<std::uint8_t>(v >> (8 * i)));
    bytes_.append(le, 8);
}

void StateWriter::f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }

void StateWriter::f64s(std::span<const double> values) {
    bytes_.reserve(bytes_.size() + 8 * (values.size() + 1));
    u64(values.size());
    for (double v : values) f64(v);
}

// --- Reading ----------------------------------------------------------------------------------

StateReader::StateReader(std::string_view bytes, std::string_view class_name)
    : bytes_(bytes), class_name_(class_name) {
    const char* at = nullptr;
    if (!take(kMagic.size(), at) || std::string_view(at, kMagic.size()) != kMagic) {
        error_ = "not a saved state of this module";
        return;
    }
    const std::uint8_t format = u8();
    if (!ok()) return;
    if (format != kStateFormat) {
        error_ = "format " + std::to_string(format) + " is not one this version reads (format " +
                 std::to_string(kStateFormat) + ")";
        return;
    }
    const std::uint8_t name_length = u8();
    if (!take(name_length, at)) return;
    const std::string_view name(at, name_length);
    if (name != class_name) {
        // Class names are ASCII identifiers; anything else is shown as a byte count only.
        bool printable = true;
        for (char c : name) printable = printable && c > ' ' && c < 0x7f;
        error_ = "given the state of " +
                 (printable ? std::string(name) : "another class");
    }
}

void StateReader::fail(std::string what) {
    if (error_.empty()) error_ = std::move(what);
}

bool StateReader::take(std::size_t n, const char*& at) {
    if (!ok()) return false;
    if (n > bytes_.size() - pos_) {
        fail("truncated");
        return false;
    }
    at = bytes_.data() + pos_;
    pos_ += n;
    return true;
}

std::uint8_t StateReader::u8() {
    const char* at = nullptr;
    if (!take(1, at)) return 0;
    return static_cast<std::uint8_t>(*at);
}

bool StateReader::flag() {
    const std::uint8_t v = u8();
    if (v > 1) fail("a flag is neither 0 nor 1");
    return v == 1;
}

std::uint64_t StateReader::u64() {
    const char* at = nullptr;
    if (!take(8, at)) return 0;
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v |= std::uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
    }
    return v;
}

double StateReader::f64() { return std::bit_cast<double>(u64()); }

std::vector<double> StateReader::f64s() {
    const std::uint64_t n = u64();
    if (!ok()) return {};
    // Checked against what is left before anything is allocated.
    if (n > (bytes_.size() - pos_) / 8) {
        fail("truncated");
        return {};
    }
    std::vector<double> values(static_cast<std::size_t>(n));
    for (double& v : values) v = f64();
    return values;
}

int StateReader::i32() {
    const auto v = static_cast<std::int64_t>(u64());
    if (!require(v >= INT32_MIN && v <= INT32_MAX, "an integer field is out of range")) return 0;
    return static_cast<int>(v);
}

std::vector<std::uint8_t> StateReader::u8s() {
    const std::uint64_t n = u64();
    if (!ok()) return {};
    if (n > bytes_.size() - pos_) {
        fail("truncated");
        return {};
    }
    std::vector<std::uint8_t> values(static_cast<std::size_t>(n));
    for (std::uint8_t& v : values) v = u8();
    return values;
}

bool StateReader::require(bool cond, const char* what) {
    if (!cond) fail(what);
    return cond && ok();
}

StateResult<void> StateReader::finish() const {
    if (!ok()) return std::unexpected(StateError{class_name_ + ": " + error_});
    if (pos_ != bytes_.size()) {
        return std::unexpected(StateError{class_name_ + ": unread bytes at the end (" +
                                          std::to_string(bytes_.size() - pos_) + ")"});
    }
    return {};
}

}  // namespace varnix
