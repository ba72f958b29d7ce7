// Date x instrument tables of an evaluation, and the threads it may use.
//
// One evaluation makes and drops many tables of the same shape (the inputs
// and outputs of every cross-sectional operator).  A table's memory freed
// while an evaluation runs is kept and handed to the next table instead of
// going back to the system, which would hand out fresh pages that the
// kernel then faults in and zeroes one by one.  What is kept goes back to
// the system when the last evaluation ends.  Large tables are asked to be
// backed by huge pages where the system offers them (one fault per 2 MiB
// instead of one per 4 KiB page: with the results of dozens of factors
// that is hundreds of thousands of faults fewer).
#include <cstdlib>
#include <mutex>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "engine_v2/engine.hpp"

namespace tarnfold::engine {

namespace {

struct Block {
    double *data;
    std::size_t bytes;
};

std::mutex g_lock;
int g_scopes = 0;
std::vector<Block> g_kept;
constexpr std::size_t kMaxKept = 16;

void give_back(void *ptr) {
    auto *block = static_cast<Block *>(ptr);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_scopes > 0 && g_kept.size() < kMaxKept) {
            g_kept.push_back(*block);
            delete block;
            return;
        }
    }
    std::free(block->data);
    delete block;
}

// Memory for a table of `bytes`; freed with std::free.
void *allocate(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    if (bytes >= 2 * kHuge) {
        void *data = nullptr;
        const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
        if (posix_memalign(&data, kHuge, rounded) != 0) throw std::bad_alloc();
        madvise(data, rounded, MADV_HUGEPAGE);  // advice only: ignored where unsupported
        return data;
    }
#endif
    void *data = std::malloc(bytes ? bytes : sizeof(double));
    if (!data) throw std::bad_alloc();
    return data;
}

Block *take(std::size_t bytes) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        // the smallest kept block that fits without wasting a quarter
        std::size_t best = g_kept.size();
        for (std::size_t k = 0; k < g_kept.size(); ++k) {
            const std::size_t have = g_kept[k].bytes;
            if (have >= bytes && have - have / 4 <= bytes &&
                (best == g_kept.size() || have < g_kept[best].bytes)) {
                best = k;
            }
        }
        if (best < g_kept.size()) {
            auto *block = new Block(g_kept[best]);
            g_kept.erase(g_kept.begin() + static_cast<std::ptrdiff_t>(best));
            return block;
        }
    }
    return new Block{static_cast<double *>(allocate(bytes)), bytes};
}

}  // namespace

TableScope::TableScope() {
    std::lock_guard<std::mutex> hold(g_lock);
    ++g_scopes;
}

TableScope::~TableScope() {
    std::vector<Block> drop;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (--g_scopes == 0) drop.swap(g_kept);
    }
    for (Block &b : drop) std::free(b.data);
}

frame::OutArray new_table(index_t rows, index_t cols) {
    const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
                              sizeof(double);
    Block *block = take(bytes);
    py::capsule owner(block, give_back);
    frame::OutArray out;
    out.array = py::array_t<double, py::array::f_style>({rows, cols},
                                                        {static_cast<py::ssize_t>(sizeof(double)),
                                                         static_cast<py::ssize_t>(sizeof(double)) *
                                                             std::max<index_t>(rows, 1)},
                                                        block->data, owner);
    out.view = kern::MutView{block->data, rows, cols, 1, rows};
    return out;
}

int context_threads(py::handle ctx) {
    py::object t = py::getattr(ctx, "threads", py::none());
    if (t.is_none() || !PyLong_Check(t.ptr())) return 1;
    const long long n = t.cast<long long>();
    return n < 1 ? 1 : static_cast<int>(std::min<long long>(n, 1024));
}

}  // namespace tarnfold::engine
