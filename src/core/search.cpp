#include "search.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace quillmere {

using detail::Hit;

std::string query_length_error(std::size_t length, std::size_t expected) {
    return "query has length " + std::to_string(length) + " but vectorstore expects " + std::to_string(expected);
}

namespace {

std::vector<ScoredId> with_ids(const Vectorstore& store, const std::vector<Hit>& hits, std::size_t top_k) {
    const std::size_t count = std::min(top_k, hits.size());
    std::vector<ScoredId> result;
    result.reserve(count);
    for (std::size_t i = 0; i < count; ++i) result.push_back({hits[i].score, store.id_at(hits[i].position)});
    return result;
}

}  // namespace

Outcome<std::vector<ScoredId>> search(const Vectorstore& store, const float* query, std::size_t query_length,
                                      std::size_t top_k) {
    if (query_length != store.vector_size()) {
        return Error{ErrorKind::Value, query_length_error(query_length, store.vector_size())};
    }
    const std::size_t n = store.size();
    std::vector<Hit> hits;
    hits.reserve(std::min(top_k, n));
    detail::scan_range(store, query, top_k, 0, n, hits);
    return with_ids(store, hits, top_k);
}

ChunkPlan plan_chunks(std::size_t n, std::size_t threads) noexcept {
    const std::size_t t = threads == 0 ? 1 : threads;
    // Ceiling from quotient and remainder: no overflow for any t.
    const std::size_t size = n / t + (n % t != 0 ? 1 : 0);
    const std::size_t count = n / size + (n % size != 0 ? 1 : 0);
    return {size, count};
}

namespace {

struct ParallelJob {
    const Vectorstore* store;
    const detail::PreparedQuery* query;
    std::size_t top_k;
    std::size_t n;
    ChunkPlan plan;
    std::vector<std::vector<Hit>>* per_chunk;
};

void score_chunk(void* context, std::size_t index) {
    const auto& job = *static_cast<const ParallelJob*>(context);
    const std::size_t first = index * job.plan.size;
    const std::size_t last = std::min(job.n, first + job.plan.size);
    detail::scan_range(*job.store, *job.query, job.top_k, first, last, (*job.per_chunk)[index]);
}

}  // namespace

Outcome<std::vector<ScoredId>> parallel_search(const Vectorstore& store, const float* query,
                                               std::size_t query_length, std::size_t top_k,
                                               std::optional<std::size_t> n_threads) {
    if (query_length != store.vector_size()) {
        return Error{ErrorKind::Value, query_length_error(query_length, store.vector_size())};
    }
    const std::size_t n = store.size();
    if (n == 0) return std::vector<ScoredId>{};
    const std::size_t threads = n_threads ? *n_threads : available_parallelism();
    const ChunkPlan plan = plan_chunks(n, threads);

    // Every buffer is allocated here, before any thread starts, so workers
    // never allocate and an exhausted heap is reported on this thread.
    std::vector<std::vector<Hit>> per_chunk(plan.count);
    for (std::size_t i = 0; i < plan.count; ++i) {
        const std::size_t first = i * plan.size;
        per_chunk[i].reserve(std::min(top_k, std::min(n, first + plan.size) - first));
    }
    const detail::PreparedQuery prepared = detail::prepare_query(query, store.vector_size(), detail::default_scan_options());
    ParallelJob job{&store, &prepared, top_k, n, plan, &per_chunk};
    if (auto failure = detail::run_on_threads(plan.count, score_chunk, &job)) return *failure;

    // Chunk winners in chunk order; positions make the merge order total.
    std::vector<Hit> merged;
    std::size_t total = 0;
    for (const auto& hits : per_chunk) total += hits.size();
    merged.reserve(total);
    for (const auto& hits : per_chunk) merged.insert(merged.end(), hits.begin(), hits.end());
    const std::size_t keep = std::min(top_k, merged.size());
    std::partial_sort(merged.begin(), merged.begin() + keep, merged.end(), detail::ranks_before);
    return with_ids(store, merged, keep);
}

namespace detail {

namespace {

struct WorkerSlot {
    void (*task)(void*, std::size_t);
    void* context;
    std::size_t index;
    void* handle = nullptr;
    // What went wrong inside the worker, reported after every join.
    enum class Status { Ok, NoMemory, Failed } status = Status::Ok;
};

void* worker_main(void* arg) {
    auto* slot = static_cast<WorkerSlot*>(arg);
    try {
        slot->task(slot->context, slot->index);
    } catch (const std::bad_alloc&) {
        slot->status = WorkerSlot::Status::NoMemory;
    } catch (...) {
        slot->status = WorkerSlot::Status::Failed;
    }
    return nullptr;
}

int posix_spawn_thread(void** handle, void* (*routine)(void*), void* arg) {
    auto* thread = new (std::nothrow) pthread_t;
    if (thread == nullptr) return ENOMEM;
    const int rc = pthread_create(thread, nullptr, routine, arg);
    if (rc != 0) {
        delete thread;
        return rc;
    }
    *handle = thread;
    return 0;
}

void posix_join_thread(void* handle) {
    auto* thread = static_cast<pthread_t*>(handle);
    pthread_join(*thread, nullptr);
    delete thread;
}

}  // namespace

const ThreadOps& posix_threads() noexcept {
    static const ThreadOps ops{posix_spawn_thread, posix_join_thread};
    return ops;
}

std::optional<Error> run_on_threads(std::size_t count, void (*task)(void*, std::size_t), void* context,
                                    const ThreadOps& ops) {
    std::vector<WorkerSlot> slots;
    try {
        slots.reserve(count);
    } catch (const std::bad_alloc&) {
        return Error{ErrorKind::NoMemory, "allocating the worker table failed"};
    }
    int spawn_error = 0;
    for (std::size_t i = 0; i < count; ++i) {
        slots.push_back(WorkerSlot{task, context, i});
        const int rc = ops.spawn(&slots.back().handle, worker_main, &slots.back());
        if (rc != 0) {
            slots.pop_back();
            spawn_error = rc;
            break;
        }
    }
    // Join everything that started, in chunk order, before reporting anything:
    // no worker may outlive the call.
    for (WorkerSlot& slot : slots) ops.join(slot.handle);
    if (spawn_error != 0) {
        return Error{ErrorKind::Panic, std::string("failed to spawn thread: ") + std::strerror(spawn_error) +
                                           " (os error " + std::to_string(spawn_error) + ")"};
    }
    for (const WorkerSlot& slot : slots) {
        if (slot.status == WorkerSlot::Status::NoMemory) {
            return Error{ErrorKind::NoMemory, "a search worker ran out of memory"};
        }
        if (slot.status == WorkerSlot::Status::Failed) {
            return Error{ErrorKind::Panic, "called `Result::unwrap()` on an `Err` value: Any { .. }"};
        }
    }
    return std::nullopt;
}

}  // namespace detail
}  // namespace quillmere
