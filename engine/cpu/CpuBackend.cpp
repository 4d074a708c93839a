#include "engine/cpu/CpuBackend.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/cpu/BlockCache.h"
#include "engine/cpu/CpuChunking.h"
#include "engine/cpu/CpuKernelTable.h"
#include "engine/Platform.h"

namespace fm {
namespace {

// Cache-line alignment; pixels themselves need only 16 bytes.
constexpr size_t kAlign = 64;
// Large images go on huge pages where the system offers them: first touching a UHD frame
// in 4 KiB pages costs several times a full copy of it.
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kHugeFrom = size_t(8) << 20;
// Blocks from this size go back through the block cache: the system returns them zeroed
// page by page, and a pyramid or a flow's intermediates are made again for every frame.
constexpr size_t kCacheFrom = size_t(256) << 10;

bool pixelAligned(const void* data) { return (reinterpret_cast<uintptr_t>(data) & 15) == 0; }

size_t imageBytes(const Buffer& b) { return size_t(b.height) * size_t(b.pitch) * 16; }
size_t tableBytes(const Table& t) { return size_t(t.count > 0 ? t.count : 1) * sizeof(float); }

void* allocAligned(size_t bytes) {
  const size_t align = bytes >= kHugeFrom ? kHugePage : kAlign;
  const size_t rounded = (bytes + align - 1) / align * align;
  if (rounded < bytes) return nullptr;
  if (rounded >= kCacheFrom)
    if (void* cached = takeCachedBlock(rounded)) return cached;
  void* p = std::aligned_alloc(align, rounded);
  if (p && align == kHugePage) adviseHugePages(p, rounded);
  return p;
}

void releaseAligned(void* p, size_t bytes) {
  if (bytes >= kCacheFrom) {
    const size_t align = bytes >= kHugeFrom ? kHugePage : kAlign;
    const size_t rounded = (bytes + align - 1) / align * align;
    if (offerCachedBlock(p, rounded)) return;
  }
  std::free(p);
}

struct LaunchTask {
  CpuLaunch launch;
  ChunkPlan plan;
  BandRunner band = nullptr;
  SpecialRunner special = nullptr;
  CpuBackend::AbortQuery abortQuery = nullptr;
  void* abortContext = nullptr;
  std::atomic<bool> stop{false};
};

void runChunk(void* ctx, int index) {
  LaunchTask& t = *static_cast<LaunchTask*>(ctx);
  if (t.stop.load(std::memory_order_relaxed)) return;
  if (t.abortQuery && t.abortQuery(t.abortContext)) {
    t.stop.exchange(true);
    return;
  }
  const long long first = (long long)index * t.plan.perChunk;
  const long long end = std::min<long long>(first + t.plan.perChunk, t.plan.total);
  if (first >= end) return;
  if (t.special) {
    t.special(t.launch, int(first), int(end));
  } else {
    const CpuLaunch& l = t.launch;
    t.band(l.gridW, int(first), int(end), l.dst, l.srcA, l.srcB, l.tab, *l.p);
  }
}

struct ChainTask {
  CpuChain chain;
  ChainRunner runner = nullptr;
  int total = 0;
  int perChunk = 1;
  CpuBackend::AbortQuery abortQuery = nullptr;
  void* abortContext = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
};

void runChainChunk(void* ctx, int index) {
  ChainTask& t = *static_cast<ChainTask*>(ctx);
  if (t.stop.load(std::memory_order_relaxed)) return;
  if (t.abortQuery && t.abortQuery(t.abortContext)) {
    t.stop.exchange(true);
    return;
  }
  const long long first = (long long)index * t.perChunk;
  const long long end = std::min<long long>(first + t.perChunk, t.total);
  if (first < end && !t.runner(t.chain, int(first), int(end))) t.failed.exchange(true);
}

// Rows or columns of a fused chain handed out at once: whole groups and strips.
constexpr int kChainRowUnit = 4;
constexpr int kChainColumnUnit = 64;

bool sameImage(const Buffer* a, const Buffer* b) { return a && b && a->data && a->data == b->data; }

// A copy that moves or scales pixels and nothing else.
bool plainCopy(const ChainLink& l) { return l.kernel == FM_K_COPY && !(l.params.flags & FM_F_ACCUM); }

// Whether the last link of a chain is a copy of the whole result of the link before it, moved
// and nothing else, into an image that no link reads: each pixel it reads unchanged (1 x v is v
// for every v a pass gives), zero where it reads outside, and some of the result read.
bool copiesResult(const ChainLink* links, int count) {
  if (count < 2) return false;
  const ChainLink &t = links[count - 1], &before = links[count - 2];
  const FMParams &pt = t.params, &pb = before.params;
  if (!plainCopy(t) || pt.mode != 0 || pt.g0 != 1.0f || !sameImage(t.src, before.dst) || pt.aW != pb.dW ||
      pt.aH != pb.dH || pt.aP != pb.dP || t.gridW < pt.dW || t.gridH < pt.dH)
    return false;
  for (int j = 0; j < count - 1; ++j)
    if (sameImage(t.dst, links[j].src) || sameImage(t.dst, links[j].dst)) return false;
  return pt.ax < pb.dW && int64_t(pt.ax) + pt.dW > 0 && pt.ay < pb.dH && int64_t(pt.ay) + pt.dH > 0;
}

// Which chains the CPU runs fused: box passes along one axis (a row chain may start with a
// plain copy, a column chain may end with a copy of its result), each link reading all of the
// image the one before it wrote. 0: none; 1: rows; 2: columns.
int fusedAxis(const ChainLink* links, int count) {
  if (count < 2 || count > kCpuChainMaxLinks) return 0;
  const FMParams& first = links[0].params;
  const bool columns = links[0].kernel == FM_K_BOX_COLS;
  const bool tail = columns && links[count - 1].kernel == FM_K_COPY;
  if (tail && !copiesResult(links, count)) return 0;
  const int boxes = tail ? count - 1 : count;
  for (int j = 0; j < boxes; ++j) {
    const ChainLink& l = links[j];
    const FMParams& p = l.params;
    if (!l.dst || !l.dst->data || !l.src || !l.src->data) return 0;
    if (p.dW != first.dW || p.dH != first.dH || p.bW > 0 || l.gridW < 1 || l.gridH < 1) return 0;
    // Along rows, y1 ends the rows; along columns it counts the segments.
    if (!columns && p.y1 < p.dH) return 0;
    if (j > 0 && (!sameImage(l.src, links[j - 1].dst) || p.aW != links[j - 1].params.dW ||
                  p.aH != links[j - 1].params.dH || p.aP != links[j - 1].params.dP))
      return 0;
    if (columns) {
      if (l.kernel != FM_K_BOX_COLS || l.gridW < p.dW || p.segLen < 1) return 0;
      // Every link is read whole by the next (a copy after the last too); a ring holds no
      // repeated edge.
      const bool last = j == count - 1;
      if (!last && int64_t(std::min(p.y1, l.gridH)) * p.segLen < p.dH) return 0;
      if (j > 0 && p.mode == FM_EDGE_CLAMP) return 0;
    } else if (l.kernel == FM_K_COPY) {
      // A copy reads other rows than it writes: never one the last link overwrites.
      if (j > 0 || (p.flags & FM_F_ACCUM) || l.gridW < p.dW || l.gridH < p.dH) return 0;
      if (sameImage(l.src, links[count - 1].dst)) return 0;
    } else if (l.kernel != FM_K_BOX_ROWS || l.gridH < p.dH) {
      return 0;
    }
  }
  return columns ? 2 : 1;
}

// Whether a chain is a direct rows pass and the direct column pass that reads all it wrote,
// optionally led by a plain copy into the rows pass's source and followed by a plain copy of
// the result, each launch covering its whole image. The CPU then runs them in tiles and never
// writes the images between the links. Returns the rows pass's index, or -1 where the chain is
// not one of these; `area` gets the part of the column pass's result the tiles compute (where a
// copy follows, what it reads).
int directPair(const ChainLink* links, int count, Rect& area) {
  if (count < 2 || count > 4) return -1;
  for (int j = 0; j < count; ++j) {
    const ChainLink& l = links[j];
    const FMParams& p = l.params;
    if (!l.dst || !l.dst->data || !l.src || !l.src->data) return -1;
    if (l.gridW < p.dW || l.gridH < p.dH || p.y1 < p.dH) return -1;
  }
  const int r = links[0].kernel == FM_K_COPY ? 1 : 0;
  const bool tail = count == r + 3;
  if (count != r + 2 && !tail) return -1;
  const ChainLink &head = links[0], &rows = links[r], &cols = links[r + 1];
  const FMParams &pr = rows.params, &pk = cols.params;
  if (rows.kernel != FM_K_CONV_ROWS || cols.kernel != FM_K_CONV_COLS) return -1;
  // A clamped edge may read rows or columns far from a tile's own.
  for (const FMParams* p : {&pr, &pk})
    if (p->n < 0 || p->mode == FM_EDGE_CLAMP) return -1;
  if (!sameImage(cols.src, rows.dst) || pk.aW != pr.dW || pk.aH != pr.dH || pk.aP != pr.dP ||
      pk.dW != pr.dW || pk.dH != pr.dH)
    return -1;
  // Tiles write the destination while others still read the chain's source.
  if (sameImage(cols.dst, head.src) || sameImage(cols.dst, rows.dst)) return -1;
  if (r == 1) {
    const FMParams& pc = head.params;
    if (!plainCopy(head) || !sameImage(head.dst, rows.src) || pc.dW != pr.aW || pc.dH != pr.aH || pc.dP != pr.aP)
      return -1;
  }
  area = Rect{0, 0, pk.dW, pk.dH};
  if (!tail) return r;
  // The tiles compute only the pixels a copy after the pair reads and write them straight into
  // its destination.
  if (!copiesResult(links, count)) return -1;
  const FMParams& pt = links[count - 1].params;
  const int64_t left = std::max<int64_t>(0, pt.ax), top = std::max<int64_t>(0, pt.ay);
  const int64_t right = std::min<int64_t>(pk.dW, int64_t(pt.ax) + pt.dW);
  const int64_t bottom = std::min<int64_t>(pk.dH, int64_t(pt.ay) + pt.dH);
  area = Rect{int32_t(left), int32_t(top), int32_t(right), int32_t(bottom)};
  return r;
}

// Whether two spans of memory share no byte; an image's rows span rowBytes.
bool apart(const void* a, size_t aBytes, const void* b, size_t bBytes) {
  const uintptr_t x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return x + aBytes <= y || y + bBytes <= x;
}
size_t rowBytes(int h, int pitch) { return size_t(std::max(h, 0)) * size_t(std::max(pitch, 0)) * 16; }

// Whether a chain is Jacobi steps (fm_flow_refine) over one image, each reading all the one
// before it wrote, all with the same data term and weights, none writing over those; the
// result goes over the first step's source or clear of it. The CPU then sweeps every step in
// one pass and writes only the last link's image.
bool refineChain(const ChainLink* links, int count) {
  if (count < 2 || count > kCpuChainMaxLinks) return false;
  const ChainLink& head = links[0];
  const FMParams& first = head.params;
  const int W = first.dW, H = first.dH;
  if (W < 1 || H < 1 || !head.srcB || !head.srcB->data || !head.tab || !head.tab->data) return false;
  // The weights are read four to a pixel, as pixels.
  if (!pixelAligned(head.tab->data)) return false;
  const size_t termBytes = rowBytes(first.bH, first.bP), tableBytes = size_t(head.tab->count) * sizeof(float);
  if (uint64_t(H) * uint64_t(std::max(first.n, 0)) * 4 > head.tab->count) return false;
  for (int j = 0; j < count; ++j) {
    const ChainLink& l = links[j];
    const FMParams& p = l.params;
    if (l.kernel != FM_K_FLOW_REFINE || !l.dst || !l.dst->data || !l.src || !l.src->data) return false;
    if (!sameImage(l.srcB, head.srcB) || !l.tab || l.tab->data != head.tab->data) return false;
    if (p.dW != W || p.dH != H || p.aW != W || p.aH != H || p.y1 < H || l.gridW < W || l.gridH < H) return false;
    if (p.bW < W || p.bH < H || p.bW != first.bW || p.bH != first.bH || p.bP != first.bP || p.n != first.n ||
        p.n < W)
      return false;
    if (j > 0 && (!sameImage(l.src, links[j - 1].dst) || p.aP != links[j - 1].params.dP)) return false;
    const size_t out = rowBytes(H, p.dP);
    if (!apart(l.dst->data, out, head.srcB->data, termBytes) || !apart(l.dst->data, out, head.tab->data, tableBytes))
      return false;
  }
  const ChainLink& last = links[count - 1];
  if (last.dst->data == head.src->data) return last.params.dP == first.aP;
  return apart(last.dst->data, rowBytes(H, last.params.dP), head.src->data, rowBytes(H, first.aP));
}

// Tiles of a direct pair: strips narrow enough that a tile's rows pass results stay in the
// cache, cut across where there are too few strips to keep every thread busy.
constexpr int kPairTileWidth = 512;
constexpr int kPairTileMinRows = 32;

class SerialParallel final : public Parallel {
 public:
  int threadCount() override { return 1; }
  bool run(int count, void* ctx, void (*fn)(void*, int)) override {
    for (int i = 0; i < count; ++i) fn(ctx, i);
    return true;
  }
};

}  // namespace

bool CpuBackend::launchable(const Buffer* dst, const Buffer* srcA, const Buffer* srcB, const FMParams* p) {
  // Every kernel reads its block and writes its destination: refuse rather than crash.
  if (!p || !dst || !dst->data) return false;
  // A block that describes a source image which was not passed would be read through null.
  const bool aMissing = !srcA || !srcA->data, bMissing = !srcB || !srcB->data;
  if ((aMissing && p->aW > 0 && p->aH > 0) || (bMissing && p->bW > 0 && p->bH > 0)) return false;
  // Rows that overlap or run backwards would take the kernels outside the image's memory.
  auto rowsApart = [](int w, int h, int pitch) { return w <= 0 || h <= 0 || pitch >= w; };
  if (!rowsApart(p->dW, p->dH, p->dP) || !rowsApart(p->aW, p->aH, p->aP) || !rowsApart(p->bW, p->bH, p->bP))
    return false;
  // Pixels are 16-byte aligned vectors; reading or storing one at another address (a wrapped
  // host frame, say) faults, so such memory is refused before any work.
  return pixelAligned(dst->data) && pixelAligned(aMissing ? nullptr : srcA->data) &&
         pixelAligned(bMissing ? nullptr : srcB->data);
}

CpuBackend::CpuBackend(Parallel* parallel, AbortQuery abortQuery, void* abortContext, CpuIsa isa)
    : parallel(parallel), abortQuery(abortQuery), abortContext(abortContext), isa(isa) {}

bool CpuBackend::allocImage(Buffer& buf, int width, int height) {
  if (width < 1 || height < 1) return false;
  const int64_t pitch = (int64_t(width) + kRowGranularity - 1) / kRowGranularity * kRowGranularity;
  if (pitch * height > kMaxPixels) return false;
  void* mem = allocAligned(size_t(pitch) * size_t(height) * 16);
  if (!mem) return false;
  buf.data = mem;
  buf.width = width;
  buf.height = height;
  buf.pitch = int(pitch);
  buf.owned = true;
  return true;
}

void CpuBackend::freeImage(Buffer& buf) {
  if (buf.data && buf.owned) releaseAligned(buf.data, imageBytes(buf));
  buf = Buffer{};
}

bool CpuBackend::uploadTable(Table& tab, const float* values, size_t count) {
  if (count > 0 && !values) return false;
  const size_t n = count > 0 ? count : 1;
  if (n > std::numeric_limits<size_t>::max() / sizeof(float) - kAlign) return false;
  void* mem = allocAligned(n * sizeof(float));
  if (!mem) return false;
  if (count > 0) std::memcpy(mem, values, count * sizeof(float));
  tab.data = mem;
  tab.count = count;
  return true;
}

void CpuBackend::freeTable(Table& tab) {
  // A large table may hold a cached block, which must go back through the cache.
  if (tab.data) releaseAligned(tab.data, tableBytes(tab));
  tab = Table{};
}

bool CpuBackend::launch(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB,
                        const Table* tab, FMParams* p, int gridW, int gridH, double cost) {
  if (aborted) return false;
  if (gridW < 1 || gridH < 1) return true;
  if (kernel < 0 || kernel >= FM_KERNEL_COUNT) return false;
  if (!launchable(dst, srcA, srcB, p)) return false;
  p->y0 = 0;

  const int threads = parallel ? parallel->threadCount() : 1;
  LaunchTask task;
  task.launch.gridW = gridW;
  task.launch.gridH = gridH;
  task.launch.dst = dst->data;
  task.launch.srcA = srcA ? srcA->data : nullptr;
  task.launch.srcB = srcB ? srcB->data : nullptr;
  task.launch.tab = tab ? tab->data : nullptr;
  task.launch.p = p;
  task.abortQuery = abortQuery;
  task.abortContext = abortContext;

  const bool wants = wantsSpecialRunner(kernel, *p, task.launch.srcA != nullptr, task.launch.tab != nullptr);
  task.special = wants ? cpuSpecialRunner(kernel, isa) : nullptr;
  task.band = cpuBandRunner(kernel, isa);
  if (!task.special && !task.band) return false;  // no kernel with this identifier in this build
  task.plan = planCpuChunks(kernel, *p, task.special != nullptr, gridW, gridH, cost, threads);

  if (task.special && task.plan.chunks < 1) return true;

  SerialParallel serial;
  Parallel& par = parallel ? *parallel : static_cast<Parallel&>(serial);
  const bool ran = par.run(task.plan.chunks, &task, &runChunk);
  const bool stopped = task.stop.load();
  if (task.special) {
    if (stopped) aborted = true;
    return ran && !stopped;
  }
  if (!ran) return false;
  if (stopped) {
    aborted = true;
    return false;
  }
  return true;
}

bool CpuBackend::launchChain(ChainLink* links, int count) {
  if (aborted) return false;
  if (refineChain(links, count)) return launchRefineChain(links, count);
  Rect area;
  const bool pair = directPair(links, count, area) >= 0;
  const int axis = pair ? 0 : fusedAxis(links, count);
  if (!pair && axis == 0) return Backend::launchChain(links, count);
  CpuChainLink fused[kCpuChainMaxLinks];
  for (int j = 0; j < count; ++j) {
    ChainLink& l = links[j];
    if (!launchable(l.dst, l.src, nullptr, &l.params)) return false;
    l.params.y0 = 0;
    fused[j] = CpuChainLink{l.kernel, l.gridW, l.gridH, l.params};
  }
  const int threads = parallel ? parallel->threadCount() : 1;
  ChainTask task;
  task.chain = CpuChain{fused, count, links[0].src->data, links[count - 1].dst->data};
  task.abortQuery = abortQuery;
  task.abortContext = abortContext;
  const long long wanted = 4LL * std::max(threads, 1);
  if (pair) {
    const int W = area.right - area.left, H = area.bottom - area.top;
    task.chain.areaX = int(area.left);
    task.chain.areaY = int(area.top);
    task.chain.areaW = W;
    task.chain.areaH = H;
    const int across = (W + kPairTileWidth - 1) / kPairTileWidth;
    const long long down =
        std::max<long long>(1, std::min<long long>((wanted + across - 1) / across, H / kPairTileMinRows));
    task.chain.tileW = kPairTileWidth;
    task.chain.tileH = int((H + down - 1) / down);
    task.runner = cpuConvPairRunner(isa);
    task.total = across * int((H + task.chain.tileH - 1) / task.chain.tileH);
    task.perChunk = 1;
  } else {
    task.runner = cpuChainRunner(axis == 2, isa);
    task.total = axis == 2 ? links[0].params.dW : links[0].params.dH;
    const int unit = axis == 2 ? kChainColumnUnit : kChainRowUnit;
    const long long units = (task.total + unit - 1) / unit;
    task.perChunk = int(std::max<long long>(1, units / wanted) * unit);
  }
  const int chunks = int((task.total + task.perChunk - 1) / task.perChunk);
  if (chunks < 1) return true;

  SerialParallel serial;
  Parallel& par = parallel ? *parallel : static_cast<Parallel&>(serial);
  const bool ran = par.run(chunks, &task, &runChainChunk);
  if (task.stop.load()) {
    aborted = true;
    return false;
  }
  return ran && !task.failed.load();
}

bool CpuBackend::launchRefineChain(ChainLink* links, int count) {
  CpuChainLink fused[kCpuChainMaxLinks];
  for (int j = 0; j < count; ++j) {
    ChainLink& l = links[j];
    if (!launchable(l.dst, l.src, l.srcB, &l.params)) return false;
    l.params.y0 = 0;
    fused[j] = CpuChainLink{l.kernel, l.gridW, l.gridH, l.params};
  }
  const int threads = parallel ? parallel->threadCount() : 1;
  const int H = links[0].params.dH, W = links[0].params.dW, dP = links[count - 1].params.dP;
  // A band's own rows should far outnumber the rows its steps compute for its neighbours.
  const int bands = std::max(1, std::min(2 * std::max(threads, 1), H / (8 * count)));
  ChainTask task;
  task.chain = CpuChain{fused, count, links[0].src->data, links[count - 1].dst->data};
  task.chain.srcB = links[0].srcB->data;
  task.chain.tab = links[0].tab->data;
  task.chain.bandRows = (H + bands - 1) / bands;
  task.runner = cpuRefineChainRunner(isa);
  task.total = H;
  task.perChunk = task.chain.bandRows;
  task.abortQuery = abortQuery;
  task.abortContext = abortContext;
  const int chunks = (H + task.perChunk - 1) / task.perChunk;
  const size_t heldRows = size_t(chunks) * size_t(2 * count + 1);
  const size_t rowSize = size_t(dP) * 16;
  char* held = static_cast<char*>(std::malloc(heldRows * rowSize));
  if (!held) return false;
  task.chain.held = held;

  SerialParallel serial;
  Parallel& par = parallel ? *parallel : static_cast<Parallel&>(serial);
  const bool ran = par.run(chunks, &task, &runChainChunk);
  const bool stopped = task.stop.load(), ok = ran && !stopped && !task.failed.load();
  if (ok) {
    char* dst = static_cast<char*>(task.chain.dst);
    for (int b = 0; b < chunks; ++b) {
      const int first = b * task.perChunk, end = std::min(first + task.perChunk, H);
      for (int y = first; y < end; ++y)
        if (const int slot = refineHeldSlot(first, end, H, count, y); slot >= 0)
          std::memcpy(dst + size_t(y) * rowSize, held + (size_t(b) * (2 * count + 1) + size_t(slot) + 1) * rowSize,
                      size_t(W) * 16);
    }
  }
  std::free(held);
  if (stopped) aborted = true;
  return ok;
}

bool CpuBackend::download(const Buffer& buf, void* host) {
  if (!buf.data || !host) return false;
  if (buf.height < 0 || buf.pitch < 0) return false;
  std::memcpy(host, buf.data, size_t(buf.height) * size_t(buf.pitch) * 16);
  return true;
}

}  // namespace fm
