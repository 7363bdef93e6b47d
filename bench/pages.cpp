// Data-block allocation: the library's block (2 MiB-aligned mapping with
// transparent huge pages advised, from 1 MiB up) against a plain 32-byte
// aligned_alloc + memset on 4 KiB pages, each followed by filling the block
// with data as a copy import does.
//
//   korvex_bench_pages --bytes 41943040,167772160 [--reps 7] --out FILE
// appends JSON objects {op: "alloc_zero" | "alloc_fill", lib: "huge" | "plain4k"}.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "span/base.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t.size() % 2 ? t[t.size() / 2] : 0.5 * (t[t.size() / 2 - 1] + t[t.size() / 2]);
}

void* plain_block(size_t bytes) {
    void* p = std::aligned_alloc(32, (bytes + 31) / 32 * 32);
    if (!p) {
        std::fprintf(stderr, "out of memory\n");
        std::exit(1);
    }
    std::memset(p, 0, bytes);
    return p;
}

void* huge_block(size_t bytes) {
    void* p = korvex::alloc_data_block(bytes);
    if (!p) {
        std::fprintf(stderr, "out of memory\n");
        std::exit(1);
    }
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sizes = "41943040", out;
    int reps = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--bytes") sizes = v;
        else if (k == "--reps") reps = std::stoi(v);
        else if (k == "--out") out = v;
    }
    if (out.empty()) {
        std::fprintf(stderr, "usage: korvex_bench_pages --bytes N[,N...] [--reps R] --out FILE\n");
        return 2;
    }
    FILE* f = std::fopen(out.c_str(), "a");
    if (!f) return 1;
    size_t b = 0;
    while (b < sizes.size()) {
        size_t e = sizes.find(',', b);
        if (e == std::string::npos) e = sizes.size();
        size_t bytes = std::stoull(sizes.substr(b, e - b));
        b = e + 1;
        std::vector<char> src(bytes, 3);
        for (int fill = 0; fill < 2; ++fill) {
            for (int huge = 0; huge < 2; ++huge) {
                std::vector<double> t;
                for (int r = 0; r <= reps; ++r) {
                    auto t0 = Clock::now();
                    void* p = huge ? huge_block(bytes) : plain_block(bytes);
                    if (fill)
                        std::memcpy(p, src.data(), bytes);
                    else if (huge)
                        // The zeroes are already there; touch each page as a
                        // first write would.
                        for (size_t q = 0; q < bytes; q += 4096) static_cast<volatile char*>(p)[q] = 0;
                    double s = std::chrono::duration<double>(Clock::now() - t0).count();
                    if (huge)
                        korvex::free_data_block(p, bytes);
                    else
                        std::free(p);
                    if (r > 0) t.push_back(s);  // the first round warms up
                }
                const char* op = fill ? "alloc_fill" : "alloc_zero";
                const char* lib = huge ? "huge" : "plain4k";
                double m = median(t);
                std::fprintf(f, "{\"op\":\"%s\",\"lib\":\"%s\",\"bytes\":%zu,\"median\":%.9g,\"runs\":%d}\n",
                             op, lib, bytes, m, int(t.size()));
                std::fprintf(stderr, "  %-10s %-8s %6.1f MiB %9.3f ms  %6.2f GB/s\n", op, lib,
                             bytes / 1048576.0, m * 1e3, bytes / m * 1e-9);
            }
        }
    }
    std::fclose(f);
    return 0;
}
