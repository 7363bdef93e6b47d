#include "sparse/plan.hpp"

#include <algorithm>

#include "span/parallel.hpp"

namespace korvex {

namespace {

constexpr uint64_t kBlock = 1024;       // outer indices per counting block
constexpr uint64_t kRowCost = 2;        // work of one outer index, in entries
constexpr uint64_t kMinPiece = 16384;   // smallest piece worth a task
constexpr uint64_t kPiecesPerThread = 8;

uint64_t sat_add(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

uint64_t seg_bytes(uint64_t len, uint64_t width, bool& overflow) {
    if (len == 0 || width == 0) return 0;
    auto b = segment_bytes(len, width);
    if (!b) {
        overflow = true;
        return 0;
    }
    return *b;
}

struct Block {
    uint64_t entries = 0, bytes = 0, segments = 0;
    bool overflow = false;
};

// Appends pieces while walking blocks; the running byte offset follows the
// outer index at which the next piece starts.
struct Builder {
    Piece* out;
    uint64_t cap, count = 0;
    uint64_t target;
    uint64_t start = 0, acc = 0, start_offset = 0;

    void push(const Piece& p) {
        KORVEX_INVARIANT(count < cap, "work plan overflows its pieces");
        out[count++] = p;
    }
    // Closes the pending piece [start, i) whose offset is start_offset.
    void flush(uint64_t i, uint64_t offset_at_i) {
        if (i > start) push(Piece{start, i, 0, 0, start_offset, false});
        start = i;
        acc = 0;
        start_offset = offset_at_i;
    }
};

}  // namespace

Plan make_plan(const Span* values, uint64_t n, uint64_t width) {
    Plan totals;
    const uint64_t blocks = (n + kBlock - 1) / kBlock;
    Temp<Block> block = temp_array<Block>(blocks == 0 ? 1 : blocks);
    par::for_each(blocks, [&](uint64_t b) {
        Block r;
        for (uint64_t i = b * kBlock, e = std::min(n, i + kBlock); i < e; ++i) {
            uint64_t len = values[i].len;
            r.entries = sat_add(r.entries, len);
            if (width) {
                r.bytes = sat_add(r.bytes, seg_bytes(len, width, r.overflow));
                r.segments += len != 0;
            }
        }
        block[b] = r;
    });
    for (uint64_t b = 0; b < blocks; ++b) {
        const Block& r = block[b];
        totals.entries = sat_add(totals.entries, r.entries);
        totals.segments += r.segments;
        totals.overflow |= r.overflow;
        if (__builtin_add_overflow(totals.bytes, r.bytes, &totals.bytes)) totals.overflow = true;
    }
    const uint64_t work = sat_add(totals.entries, n * kRowCost);
    const uint64_t want = kPiecesPerThread * static_cast<uint64_t>(par::thread_count());
    const uint64_t target = std::max(kMinPiece, work / want + 1);
    // Pieces closed by the target number at most 2 * work / target + 1; long
    // rows (fewer than work / target) add their parts (at most work / target
    // plus one each) and the piece closed before each.
    const uint64_t cap = 8 * (work / target + 1) + 8;
    Plan plan{temp_array<Piece>(cap), 0, totals.entries, totals.bytes, totals.segments,
              totals.overflow};
    Builder bl{plan.pieces.get(), cap, 0, target};
    uint64_t offset = 0;  // byte offset of the current outer index
    for (uint64_t b = 0; b < blocks; ++b) {
        const uint64_t lo = b * kBlock, hi = std::min(n, lo + kBlock);
        const uint64_t w = sat_add(block[b].entries, (hi - lo) * kRowCost);
        if (w <= target) {  // whole block: the usual case
            if (bl.acc > 0 && bl.acc + w > target) bl.flush(lo, offset);
            bl.acc += w;
            offset += block[b].bytes;
            continue;
        }
        bool of = false;
        for (uint64_t i = lo; i < hi; ++i) {
            const uint64_t len = values[i].len;
            const uint64_t wl = sat_add(len, kRowCost);
            const uint64_t seg = seg_bytes(len, width, of);
            if (wl > target) {  // a long row: its own pieces, split by entries
                bl.flush(i, offset);
                const uint64_t parts = (len + target - 1) / target;
                for (uint64_t p = 0; p < parts; ++p) {
                    uint64_t f = len / parts * p + std::min(p, len % parts);
                    uint64_t t = len / parts * (p + 1) + std::min(p + 1, len % parts);
                    bl.push(Piece{i, i + 1, f, t, offset, true});
                }
                offset += seg;
                bl.start = i + 1;  // the next piece starts after it
                bl.start_offset = offset;
                continue;
            }
            if (bl.acc > 0 && bl.acc + wl > target) bl.flush(i, offset);
            bl.acc += wl;
            offset += seg;
        }
    }
    bl.flush(n, offset);
    plan.count = bl.count;
    return plan;
}

}  // namespace korvex
