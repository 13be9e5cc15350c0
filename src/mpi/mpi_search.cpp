#include "mpi/mpi_search.h"

#include <mpi.h>

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/unrank.h"
#include "engine/rank/search_context.h"
#include "engine/search/batch_pool.h"
#include "engine/search/order_search.h"
#include "engine/search/progress.h"
#include "engine/search/strata.h"
#include "io/exit_status.h"
#include "io/messages.h"
#include "mpi/segments.h"

namespace {

enum Command : int { kStop = 0, kContext = 1, kOrder = 2 };
enum Tag : int { kTagPairs = 1, kTagSegments = 2 };

constexpr int kRoot = 0;

int rankCount() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

int myRank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

void broadcastCommand(int command) { MPI_Bcast(&command, 1, MPI_INT, kRoot, MPI_COMM_WORLD); }

template <typename T>
void broadcastArray(T* values, long count, MPI_Datatype type) {
  // Counts of MPI calls are ints: large arrays go in pieces.
  constexpr long kPiece = 1L << 30;
  for (long done = 0; done < count; done += kPiece) {
    const long piece = count - done < kPiece ? count - done : kPiece;
    MPI_Bcast(values + done, static_cast<int>(piece), type, kRoot, MPI_COMM_WORLD);
  }
}

// The data every rank needs to score batches, owned by a worker.
struct WorkerData {
  std::vector<unsigned char> genotypes;
  std::vector<unsigned char> phenotypes;
  std::vector<double> scores;
  std::vector<double> single_gains;
  std::vector<int> stratum_of;
  SearchContext context;
  BitPlanes planes;
  StrataParts strata;
};

// One field of the root's, taken by every rank: a field added to the
// context is one more line below, never a position in a packed array.
void shareField(int& value) { MPI_Bcast(&value, 1, MPI_INT, kRoot, MPI_COMM_WORLD); }
void shareField(double& value) { MPI_Bcast(&value, 1, MPI_DOUBLE, kRoot, MPI_COMM_WORLD); }
void shareField(bool& value) {
  int flag = value ? 1 : 0;
  MPI_Bcast(&flag, 1, MPI_INT, kRoot, MPI_COMM_WORLD);
  value = flag != 0;
}

void shareSettings(SearchSettings& settings) {
  shareField(settings.requested_threads);
  shareField(settings.use_planes);
}

// The context's totals, method codes and settings, field by field.
void shareScalars(SearchContext& context) {
  shareField(context.marker_count);
  shareField(context.sample_count);
  shareField(context.N);
  shareField(context.cases);
  shareField(context.controls);
  shareField(context.ratio);
  shareField(context.option_code);
  shareField(context.missing_code);
  shareField(context.measure);
  shareField(context.not_a_number_last);
  shareField(context.K);
  shareField(context.all_pairs);
  int listed = static_cast<int>(context.samples.size());
  shareField(listed);
  context.samples.resize(listed);
  shareSettings(context.settings);
}

// Rank 0 sends its prepared context; the other ranks rebuild it.
void shareContext(SearchContext& context, WorkerData* worker) {
  shareScalars(context);
  // A run that filled its planes straight from the input has no byte
  // matrix: its planes are sent instead, and no rank ever holds the matrix.
  int planes_only = context.genotypes == nullptr && context.source.first == nullptr ? 1 : 0;
  MPI_Bcast(&planes_only, 1, MPI_INT, kRoot, MPI_COMM_WORLD);
  const bool root_has_matrix = planes_only == 0;
  if (worker != nullptr) {
    context.planes = nullptr;
    const long cells = static_cast<long>(context.marker_count) * context.sample_count;
    const int rows = context.sample_count > 0 ? context.sample_count : 1;
    worker->genotypes.resize(cells > 0 && root_has_matrix ? cells : 1);
    worker->phenotypes.resize(rows);
    worker->scores.assign(rows, 0.0);
    context.genotypes = worker->genotypes.data();
    context.source = GenotypeView::markerMajor(context.genotypes, context.sample_count);
    context.phenotypes = worker->phenotypes.data();
    context.scores = worker->scores.data();
  }
  if (!root_has_matrix) {
    BitPlanes::Scalars sizes{};
    if (worker == nullptr) sizes = context.planes->scalars();
    MPI_Bcast(&sizes, sizeof sizes, MPI_BYTE, kRoot, MPI_COMM_WORLD);
    BitPlanes& planes = worker != nullptr ? worker->planes : const_cast<BitPlanes&>(*context.planes);
    if (worker != nullptr) {
      worker->genotypes.clear();
      worker->genotypes.shrink_to_fit();
      context.genotypes = nullptr;
      context.source = GenotypeView{};
      if (!planes.allocate(sizes)) MPI_Abort(MPI_COMM_WORLD, kExitNoMemory);
      context.planes = &planes;
    }
    planes.forEachArray([](unsigned char* bytes, long count) { broadcastArray(bytes, count, MPI_UNSIGNED_CHAR); });
  } else {
    broadcastArray(context.genotypes, static_cast<long>(context.marker_count) * context.sample_count,
                   MPI_UNSIGNED_CHAR);
  }
  broadcastArray(context.phenotypes, context.sample_count, MPI_UNSIGNED_CHAR);
  broadcastArray(context.samples.data(), static_cast<long>(context.samples.size()), MPI_INT);
  // A stratified run: each sample's stratum; the ranks split their own
  // strata's planes from it.
  int strata = context.strata != nullptr ? context.stratum_count : 0;
  MPI_Bcast(&strata, 1, MPI_INT, kRoot, MPI_COMM_WORLD);
  if (strata > 0) {
    if (worker != nullptr) {
      worker->stratum_of.resize(context.sample_count > 0 ? context.sample_count : 1);
      context.stratum_of = worker->stratum_of.data();
      context.stratum_count = strata;
    }
    broadcastArray(const_cast<int*>(context.stratum_of), context.sample_count, MPI_INT);
  }
  // Ranking by synergy subtracts each marker's own IG on every rank.
  int has_gains = context.single_gains != nullptr ? 1 : 0;
  MPI_Bcast(&has_gains, 1, MPI_INT, kRoot, MPI_COMM_WORLD);
  if (has_gains == 0) return;
  std::vector<double> gains(context.marker_count);
  if (context.single_gains != nullptr)
    std::copy_n(context.single_gains, context.marker_count, gains.begin());
  broadcastArray(gains.data(), context.marker_count, MPI_DOUBLE);
  if (worker != nullptr) {
    worker->single_gains = std::move(gains);
    context.single_gains = worker->single_gains.data();
  }
}

// The batches of `order` that `rank` scores: a contiguous range, balanced by
// count (every batch but the last holds the same number of combinations).
void batchRange(long long batches, int rank, int ranks, long long& first, long long& end) {
  first = batches * rank / ranks;
  end = batches * (rank + 1) / ranks;
}

long long batchCount(const SearchContext& context, int order, int batch_size) {
  const long long total = combinationCount(context.marker_count, order);
  return total < 0 ? -1 : (total + batch_size - 1) / batch_size;
}

// Scores this rank's range of an order; pairs of every batch go through
// `pair_sink` in batch order when the context wants them.
std::vector<RankedRows> scoreRange(const SearchContext& context, OrderRequest request,
                                   OrderOutcome& outcome) {
  SegmentBuilder segments(request.order, context.K, equalKeysOf(context));
  request.best_sink = [&segments](RankedRows& best) { segments.add(best); };
  searchOrder(context, request, outcome);
  return segments.finish();
}

void sendSegments(int order, const std::vector<RankedRows>& segments, const OrderOutcome& outcome) {
  std::vector<char> bytes = packSegments(order, segments);
  const long long trailer[2] = {outcome.combinations, outcome.out_of_memory ? 1 : 0};
  const auto* first = reinterpret_cast<const char*>(trailer);
  bytes.insert(bytes.end(), first, first + sizeof trailer);
  MPI_Send(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, kRoot, kTagSegments,
           MPI_COMM_WORLD);
}

std::vector<char> receiveBytes(int source, int tag) {
  MPI_Status status;
  MPI_Probe(source, tag, MPI_COMM_WORLD, &status);
  int size = 0;
  MPI_Get_count(&status, MPI_BYTE, &size);
  std::vector<char> bytes(size);
  MPI_Recv(bytes.data(), size, MPI_BYTE, source, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  return bytes;
}

// One batch's combinations and pairs, for the all-results file on rank 0.
void sendPairs(int order, const int* combinations, int count, const double* pairs) {
  if (count == 0) {
    MPI_Send(&count, static_cast<int>(sizeof count), MPI_BYTE, kRoot, kTagPairs, MPI_COMM_WORLD);
    return;
  }
  std::vector<char> bytes(sizeof(int) + sizeof(int) * static_cast<std::size_t>(count) * order +
                          sizeof(double) * 2 * static_cast<std::size_t>(count));
  char* at = bytes.data();
  std::memcpy(at, &count, sizeof count);
  at += sizeof count;
  std::memcpy(at, combinations, sizeof(int) * static_cast<std::size_t>(count) * order);
  at += sizeof(int) * static_cast<std::size_t>(count) * order;
  std::memcpy(at, pairs, sizeof(double) * 2 * static_cast<std::size_t>(count));
  MPI_Send(bytes.data(), static_cast<int>(bytes.size()), MPI_BYTE, kRoot, kTagPairs, MPI_COMM_WORLD);
}

// Rank 0's order search over all ranks.
bool g_context_shared = false;

void searchOverRanks(const SearchContext& context, const OrderRequest& whole,
                            OrderOutcome& outcome) {
  const int ranks = rankCount();
  const int order = whole.order;
  const int batch_size = whole.batch_size;
  const long long batches = batchCount(context, order, batch_size);
  if (ranks == 1 || batches < 0) {
    // Alone, or too many combinations to split by position: this rank walks them all.
    searchOrder(context, whole, outcome);
    return;
  }
  if (!g_context_shared) {
    broadcastCommand(kContext);
    shareContext(const_cast<SearchContext&>(context), nullptr);
    g_context_shared = true;
  }
  broadcastCommand(kOrder);
  int order_and_size[2] = {order, batch_size};
  MPI_Bcast(order_and_size, 2, MPI_INT, kRoot, MPI_COMM_WORLD);

  long long first = 0;
  long long end = 0;
  batchRange(batches, kRoot, ranks, first, end);
  OrderRequest own = whole;
  own.first_batch = first;
  own.end_batch = end;
  std::vector<RankedRows> all_segments = scoreRange(context, own, outcome);
  long long combinations = outcome.combinations;
  bool out_of_memory = outcome.out_of_memory;
  for (int rank = 1; rank < ranks; ++rank) {
    batchRange(batches, rank, ranks, first, end);
    if (context.all_pairs) {
      for (long long b = first; b < end; ++b) {
        const std::vector<char> bytes = receiveBytes(rank, kTagPairs);
        // The doubles follow a count of ints, so they may sit at any byte:
        // each field is copied out into storage aligned for its type.
        int count = 0;
        if (bytes.size() >= sizeof count) std::memcpy(&count, bytes.data(), sizeof count);
        const std::size_t cells = static_cast<std::size_t>(count > 0 ? count : 0) * order;
        if (count <= 0) continue;
        if (bytes.size() != sizeof count + sizeof(int) * cells + sizeof(double) * 2 * static_cast<std::size_t>(count)) {
          printMessage("rank " + std::to_string(rank) + " sent a batch of " + std::to_string(bytes.size()) +
                       " bytes, not the " + std::to_string(count) + " combinations it names");
          MPI_Abort(MPI_COMM_WORLD, 1);
        }
        std::vector<int> combos(cells);
        std::vector<double> pairs(2 * static_cast<std::size_t>(count));
        std::memcpy(combos.data(), bytes.data() + sizeof count, sizeof(int) * cells);
        std::memcpy(pairs.data(), bytes.data() + sizeof count + sizeof(int) * cells, sizeof(double) * pairs.size());
        if (!out_of_memory) whole.sink(combos.data(), count, pairs.data());
      }
    }
    std::vector<char> bytes = receiveBytes(rank, kTagSegments);
    long long trailer[2] = {0, 0};
    std::memcpy(trailer, bytes.data() + bytes.size() - sizeof trailer, sizeof trailer);
    bytes.resize(bytes.size() - sizeof trailer);
    for (RankedRows& segment : unpackSegments(bytes)) all_segments.push_back(std::move(segment));
    combinations += trailer[0];
    out_of_memory = out_of_memory || trailer[1] != 0;
    if (whole.progress != nullptr) whole.progress->advance(trailer[0]);
  }

  outcome.kept = RankedRows();
  outcome.kept.order = order;
  for (const RankedRows& segment : all_segments) mergeBest(outcome.kept, segment, context.K, equalKeysOf(context));
  outcome.combinations = combinations;
  outcome.out_of_memory = out_of_memory;
}

}  // namespace

void distributedOrderSearch(const SearchContext& context, const OrderRequest& whole, OrderOutcome& outcome) {
  searchOverRanks(context, whole, outcome);
}


void releaseWorkers() {
  if (rankCount() > 1) broadcastCommand(kStop);
}

int serveAsWorker() {
  auto worker = std::make_unique<WorkerData>();
  const int rank = myRank();
  const int ranks = rankCount();
  bool planes_ready = false;
  for (;;) {
    int command = kStop;
    MPI_Bcast(&command, 1, MPI_INT, kRoot, MPI_COMM_WORLD);
    if (command == kStop) break;
    if (command == kContext) {
      shareContext(worker->context, worker.get());
      planes_ready = worker->context.planes == &worker->planes ||
                     (worker->context.settings.use_planes && buildSearchPlanesFor(worker->context, worker->planes));
      worker->context.planes = planes_ready ? &worker->planes : nullptr;
      if (worker->context.stratum_count > 0) {
        if (!splitByStrata(worker->context, workerCount(worker->context.settings.requested_threads),
                           worker->strata))
          MPI_Abort(MPI_COMM_WORLD, kExitNoMemory);
        worker->context.strata = &worker->strata;
      }
      continue;
    }
    int order_and_size[2] = {0, 0};
    MPI_Bcast(order_and_size, 2, MPI_INT, kRoot, MPI_COMM_WORLD);
    const int order = order_and_size[0];
    const int batch_size = order_and_size[1];
    const SearchContext& context = worker->context;
    long long first = 0;
    long long end = 0;
    batchRange(batchCount(context, order, batch_size), rank, ranks, first, end);
    BatchSink pair_sink;
    long long batches_sent = 0;
    if (context.all_pairs) {
      pair_sink = [order, &batches_sent](int* combinations, int count, double* pairs) {
        sendPairs(order, combinations, count, pairs);
        ++batches_sent;
      };
    }
    OrderOutcome outcome;
    OrderRequest share;
    share.order = order;
    share.threads = workerCount(context.settings.requested_threads);
    share.batch_size = batch_size;
    share.first_batch = first;
    share.end_batch = end;
    share.sink = pair_sink;
    std::vector<RankedRows> segments = scoreRange(context, share, outcome);
    if (context.all_pairs) {
      // Rank 0 expects one pairs message per batch of the range, also after a failure.
      for (long long b = first + batches_sent; b < end; ++b) sendPairs(order, nullptr, 0, nullptr);
    }
    sendSegments(order, segments, outcome);
  }
  return 0;
}
