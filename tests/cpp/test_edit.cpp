// Edits in place: setting entries, dropping zeros, adding repeats up. Each
// is checked against a plain model of the rows, and every matrix sharing
// storage with the edited one must read what it read before.
#include <algorithm>
#include <map>
#include <random>

#include "edit/edit.hpp"
#include "test_support.hpp"

using Edit = Leak;
using korvex::Form;

namespace {

// Dense model of a matrix's entries: position -> summed value.
std::map<std::pair<int64_t, int64_t>, double> entries(const Outer& o) {
    std::map<std::pair<int64_t, int64_t>, double> e;
    for (size_t i = 0; i < o.size(); ++i)
        for (auto [j, v] : o[i]) e[{int64_t(i), j}] += v;
    return e;
}

// The sharers of m that edits must leave alone: a clone, a take repeating
// row 0, a map's result over m's indices, and a stack of m with itself.
struct Sharers {
    std::vector<CompressedMatrix*> ms;
    std::vector<Outer> before;
    explicit Sharers(CompressedMatrix* m) {
        uint64_t pos[] = {0, 0, 1};
        CompressedMatrix *take = nullptr, *neg = nullptr, *stack = nullptr;
        EXPECT_EQ(csr_f64_take_rows(m, pos, 3, &take), 0);
        EXPECT_EQ(csr_f64_map_values(m, KORVEX_MAP_NEGATE, 0.0, &neg), 0);
        CompressedMatrix* parts[] = {m, m};
        EXPECT_EQ(csr_f64_vstack(parts, 2, &stack), 0);
        ms = {csr_f64_clone(m), take, neg, stack};
        for (CompressedMatrix* s : ms) before.push_back(read<CsrF64>(s));
    }
    void expect_unchanged(const char* what) {
        for (size_t k = 0; k < ms.size(); ++k)
            EXPECT_EQ(read<CsrF64>(ms[k]), before[k]) << what << ": sharer " << k;
    }
    ~Sharers() {
        for (CompressedMatrix* s : ms) csr_f64_free(s);
    }
};

}  // namespace

TEST_F(Edit, SetEntriesAsAModel) {
    // Row 0 sorted, row 1 unsorted with a repeated index, row 2 empty.
    const Outer rows{{{0, 1.0}, {2, 2.0}}, {{3, 4.0}, {1, 5.0}, {3, 6.0}}, {}};
    struct Case {
        const char* name;
        std::vector<int64_t> r, c;
        std::vector<double> v;
        Outer want;  // stored order afterwards
    };
    const std::vector<Case> cases{
        {"existing", {0}, {2}, {9.0}, {{{0, 1.0}, {2, 9.0}}, rows[1], {}}},
        {"insert keeps a sorted row sorted", {0, 0}, {3, 1}, {7.0, 8.0},
         {{{0, 1.0}, {1, 8.0}, {2, 2.0}, {3, 7.0}}, rows[1], {}}},
        {"zero is stored", {2}, {1}, {0.0}, {rows[0], rows[1], {{1, 0.0}}}},
        {"repeat collapses to one", {1}, {3}, {-1.0}, {rows[0], {{3, -1.0}, {1, 5.0}}, {}}},
        {"unsorted row appends in index order", {1, 1}, {2, 0}, {1.5, 2.5},
         {rows[0], {{3, 4.0}, {1, 5.0}, {3, 6.0}, {0, 2.5}, {2, 1.5}}, {}}},
        {"last value named wins", {2, 2, 0, 2}, {0, 0, 0, 0}, {1.0, 2.0, 3.0, 4.0},
         {{{0, 3.0}, {2, 2.0}}, rows[1], {{0, 4.0}}}},
    };
    for (const Case& c : cases) {
        CompressedMatrix* m = copy_of<CsrF64>(3, 4, rows);
        csr_f64_nnz(m);  // cached: edits must keep it right
        {
            Sharers s(m);
            ASSERT_EQ((korvex::set_entries<double, Form::csr>(*m, c.r.data(), c.c.data(), c.v.data(),
                                                              c.r.size())),
                      0)
                << c.name;
            EXPECT_EQ(read<CsrF64>(m), c.want) << c.name;
            uint64_t n = 0;
            for (const Row& r : c.want) n += r.size();
            EXPECT_EQ(csr_f64_nnz(m), n) << c.name;
            s.expect_unchanged(c.name);
        }
        csr_f64_free(m);
    }
}

TEST_F(Edit, SetEntriesChecksEveryIndex) {
    CompressedMatrix* m = copy_of<CscF32>(3, 2, {{{1, 1.0}}, {}});
    const Outer before = read<CscF32>(m);
    float v[] = {1.0f, 2.0f};
    for (auto [r, c] : std::vector<std::pair<int64_t, int64_t>>{{3, 0}, {0, 2}, {-1, 0}, {0, INT64_MIN}}) {
        int64_t rs[] = {0, r}, cs[] = {0, c};
        EXPECT_EQ((korvex::set_entries<float, Form::csc>(*m, rs, cs, v, 2)), KORVEX_STATUS_INDEX);
        EXPECT_EQ(read<CscF32>(m), before);
    }
    // CSC: the column is the outer index.
    int64_t rs[] = {2}, cs[] = {1};
    ASSERT_EQ((korvex::set_entries<float, Form::csc>(*m, rs, cs, v, 1)), 0);
    EXPECT_EQ(read<CscF32>(m), (Outer{{{1, 1.0}}, {{2, 1.0}}}));
    csc_f32_free(m);
}

TEST_F(Edit, DropsAndSumsOnlyTheRowsThatNeedIt) {
    const Outer rows{{{0, 0.0}, {2, 2.0}}, {{3, 4.0}, {1, -0.0}}, {{1, 1.0}, {0, 2.0}, {1, 3.0}},
                     {{0, 1e-9}, {1, 5.0}}};
    struct Case {
        const char* name;
        int op;  // 0 eliminate_zeros, 1 drop_small(1e-6), 2 sum_duplicates
        Outer want;
    };
    const std::vector<Case> cases{
        {"eliminate_zeros", 0, {{{2, 2.0}}, {{3, 4.0}}, rows[2], rows[3]}},
        {"drop_small", 1, {{{2, 2.0}}, {{3, 4.0}}, rows[2], {{1, 5.0}}}},
        {"sum_duplicates", 2, {rows[0], {{1, -0.0}, {3, 4.0}}, {{0, 2.0}, {1, 4.0}}, rows[3]}},
    };
    for (const Case& c : cases) {
        CompressedMatrix* m = copy_of<CsrF64>(4, 4, rows);
        csr_f64_nnz(m);
        const Span untouched = m->indices.ptr[c.op == 2 ? 0 : 2];
        {
            Sharers s(m);
            int32_t st = c.op == 0   ? korvex::eliminate_zeros<double, Form::csr>(*m)
                         : c.op == 1 ? korvex::drop_small<double, Form::csr>(*m, 1e-6)
                                     : korvex::sum_duplicates<double, Form::csr>(*m);
            ASSERT_EQ(st, 0) << c.name;
            EXPECT_EQ(read<CsrF64>(m), c.want) << c.name;
            EXPECT_EQ(entries(read<CsrF64>(m)).size(), entries(c.want).size()) << c.name;
            uint64_t n = 0;
            for (const Row& r : c.want) n += r.size();
            EXPECT_EQ(csr_f64_nnz(m), n) << c.name;
            EXPECT_EQ(m->indices.ptr[c.op == 2 ? 0 : 2].data, untouched.data) << c.name;
            s.expect_unchanged(c.name);
        }
        csr_f64_free(m);
    }
}

// Random edits of a random matrix against the entry model.
TEST_F(Edit, RandomSetEntriesMatchTheModel) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 20; ++round) {
        const int64_t R = 1 + rng() % 30, C = 1 + rng() % 30;
        Outer rows(R);
        for (auto& r : rows)
            for (int k = rng() % 6; k-- > 0;) r.push_back({int64_t(rng() % C), double(rng() % 5)});
        CompressedMatrix* m = copy_of<CsrF64>(R, C, rows);
        ASSERT_EQ((korvex::sum_duplicates<double, Form::csr>(*m)), 0);
        auto model = entries(rows);
        std::vector<int64_t> rs, cs;
        std::vector<double> vs;
        for (int k = rng() % 40; k-- > 0;) {
            rs.push_back(rng() % R);
            cs.push_back(rng() % C);
            vs.push_back(double(rng() % 7));
            model[{rs.back(), cs.back()}] = vs.back();
        }
        ASSERT_EQ((korvex::set_entries<double, Form::csr>(*m, rs.data(), cs.data(), vs.data(), rs.size())), 0);
        EXPECT_EQ(entries(read<CsrF64>(m)), model) << "round " << round;
        EXPECT_TRUE(csr_f64_validate(m)) << "round " << round;  // sorted rows stay sorted
        csr_f64_free(m);
    }
}
