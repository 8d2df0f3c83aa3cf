// Building the job queue of a training or prediction call.
#include "concurrency/job_queue.hpp"

namespace quillmarsh {

JobQueue JobQueue::sequence(std::int32_t count) {
  std::vector<std::int32_t> jobs;
  if (count > 0) {
    jobs.reserve(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) jobs.push_back(i);
  }
  return JobQueue(std::move(jobs));
}

}  // namespace quillmarsh
