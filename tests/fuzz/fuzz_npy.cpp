// Fuzz target: arbitrary bytes after a .npy magic, read by the passes' route (text_input's header
// parse, then frame_batches on one or two threads) and by a literal decoder here, which assembles
// each element from its bytes: the same frames, bit for bit, up to a failure that must be the
// one the bytes call for; and the header parser must say the same of every prefix as of the whole
// (more needed, or the same verdict), never reading past what it is given.
//
// Input: three parameter bytes, then the bytes that follow the magic "\x93NUMPY".
//   byte 0: the text_input buffer (1..48 bytes, or 4 KiB);
//   byte 1: the largest read the byte source hands out at once (1..64 bytes, or unlimited);
//   byte 2: the piece size (1..64 bytes) in bits 0-5 and the thread count (1 or 2) in bit 6.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binary/npy_header.hpp"
#include "passes/frame_batches.hpp"
#include "passes/text_input.hpp"
#include "passes/thread_team.hpp"
#include "source/byte_source.hpp"

namespace {

using lagstat::binary::npy_header_result;
using lagstat::binary::npy_layout;
using status = npy_header_result::status;

void check(bool ok) {
    if (!ok) std::abort();
}

// The element at p as the header's dtype defines it, byte by byte.
double literal_element(const npy_layout& l, const unsigned char* p) {
    const bool big = (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) != l.swap;
    std::uint64_t bits = 0;
    for (unsigned b = 0; b < l.item_bytes; ++b)
        bits = bits << 8 | p[big ? b : l.item_bytes - 1 - b];
    if (l.kind == lagstat::binary::npy_kind::floating) {
        if (l.item_bytes == 8) {
            double v;
            std::memcpy(&v, &bits, 8);
            return v;
        }
        const auto b32 = static_cast<std::uint32_t>(bits);
        float v;
        std::memcpy(&v, &b32, 4);
        return double(v);
    }
    if (l.kind == lagstat::binary::npy_kind::unsigned_int) return double(bits);
    const unsigned shift = 64 - 8 * l.item_bytes;
    return double(static_cast<std::int64_t>(bits << shift) >> shift);
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t buffer = data[0] < 192 ? 1 + data[0] % 48 : 4096;
    const std::size_t chunk = data[1] < 192 ? 1 + data[1] % 64 : static_cast<std::size_t>(-1);
    const std::size_t piece = 1 + (data[2] & 63), threads = 1 + ((data[2] >> 6) & 1);
    std::string file(lagstat::binary::npy_magic, lagstat::binary::npy_magic_size);
    file.append(reinterpret_cast<const char*>(data + 3), size - 3);

    // The whole input's verdict, and every prefix's: more needed, or the same.
    npy_layout whole;
    const npy_header_result verdict =
        lagstat::binary::parse_npy_header(file.data(), file.size(), whole);
    for (std::size_t n = 0; n < file.size(); ++n) {
        // A copy of exactly n bytes, so that reading past them is the sanitizer's fault.
        std::unique_ptr<char[]> prefix(new char[n + 1]);
        std::memcpy(prefix.get(), file.data(), n);
        npy_layout l;
        const npy_header_result r = lagstat::binary::parse_npy_header(prefix.get(), n, l);
        if (r.what == status::need_more) {
            check(r.need > n);
            continue;
        }
        check(r.what == verdict.what && r.why == verdict.why);
        if (r.what == status::ok) check(l.data_offset == whole.data_offset && l.rows == whole.rows);
        break;
    }

    lagstat::passes::text_input in;
    const lagstat::passes::pass_error e = in.open_source(
        std::make_unique<lagstat::source::memory_source>(file.data(), file.size(), chunk), {},
        buffer);
    if (verdict.what != status::ok) {
        check(e.kind == lagstat::passes::failure::bad_npy);
        return 0;
    }
    const npy_layout& l = whole;
    const std::uint64_t present = file.size() - l.data_offset;
    if (l.by_columns()) {
        check(e.kind == lagstat::passes::failure::bad_npy);  // not from memory
        return 0;
    }
    if (l.data_bytes() == 0) {
        check(e.kind == lagstat::passes::failure::no_data);
        return 0;
    }
    if (present < l.row_bytes()) {
        check(e.kind == lagstat::passes::failure::read_error && e.err == EIO);
        return 0;
    }
    check(!e);
    check(in.columns() == static_cast<int>(l.columns));
    std::vector<double> first;
    check(in.first_record(first));
    lagstat::passes::thread_team team(threads);
    lagstat::passes::frame_batches batches(in, team, nullptr, nullptr, piece);
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data() + l.data_offset);
    std::uint64_t row = 0;
    while (batches.next()) {
        for (const double* frame : batches.rows()) {
            check(row < l.rows);
            for (std::uint64_t c = 0; c < l.columns; ++c) {
                const double want =
                    literal_element(l, bytes + row * l.row_bytes() + c * l.item_bytes);
                check(same_bits(frame[c], want));
                if (row == 0) check(same_bits(first[c], want));
            }
            ++row;
        }
    }
    // Every whole row the bytes hold, then EIO when the shape asks for more.
    const std::uint64_t rows_present = present / l.row_bytes();
    if (rows_present >= l.rows) {
        check(row == l.rows && !batches.error());
    } else {
        check(row == rows_present && batches.error().kind == lagstat::passes::failure::read_error &&
              batches.error().err == EIO);
    }
    return 0;
}
