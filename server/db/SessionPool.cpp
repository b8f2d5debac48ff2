#include "server/db/SessionPool.h"

#include <algorithm>

namespace qorvin::server {

constexpr int kMaxPoolSize = 1000;

SessionPool::SessionPool(std::string serviceName, std::shared_ptr<IDatabase> database, int maxSize,
                         std::chrono::milliseconds wait)
    : service_(std::move(serviceName)),
      wait_(wait),
      database_(std::move(database)),
      max_size_(std::clamp(maxSize, 1, kMaxPoolSize)) {}

SessionPool::~SessionPool() = default;

SessionPool::Lease::~Lease() {
  if (pool_ && session_) pool_->Return(std::move(session_), generation_);
}

SessionPool::Lease SessionPool::Acquire(const SessionUser* user) {
  std::unique_ptr<ISession> session;
  std::shared_ptr<IDatabase> database;
  uint64_t generation;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!freed_.wait_for(lock, wait_, [&] { return in_use_ < max_size_; }))
      throw EDatabaseError("All " + std::to_string(max_size_) + " database sessions of " +
                           service_ + " are busy; try again later.");
    ++in_use_;
    generation = generation_;
    database = database_;
    if (!idle_.empty()) {
      session = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  try {
    if (!session) session = database->OpenSession();
    session->Attach(wait_);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_use_;
    freed_.notify_one();
    throw;
  }
  Lease lease(this, std::move(session), generation);
  // A user the database refuses fails the lease; the session goes back (reset) as it came.
  if (user != nullptr && !user->Empty()) lease->SetUser(*user);
  return lease;
}

void SessionPool::Return(std::unique_ptr<ISession> session, uint64_t generation) {
  bool keep = true;
  try {
    if (session->InTransaction()) session->Execute("ROLLBACK", ExecLimits{});
    // Whatever the request did or how it ended, the next lease starts as the server's account.
    session->ResetUser();
  } catch (...) {
    keep = false;
  }
  session->Detach();
  if (session->Broken()) keep = false;
  std::unique_ptr<ISession> retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_use_;
    if (keep && generation == generation_ && int(idle_.size()) + in_use_ < max_size_) {
      idle_.push_back(std::move(session));
    } else {
      retired = std::move(session);
    }
    freed_.notify_one();
  }
  // `retired` closes outside the lock.
}

int SessionPool::MaxSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_size_;
}

void SessionPool::SetMaxSize(int size) {
  std::vector<std::unique_ptr<ISession>> retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    max_size_ = std::clamp(size, 1, kMaxPoolSize);
    while (!idle_.empty() && int(idle_.size()) + in_use_ > max_size_) {
      retired.push_back(std::move(idle_.back()));
      idle_.pop_back();
    }
  }
  freed_.notify_all();
}

int SessionPool::InUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_use_;
}

int SessionPool::Idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(idle_.size());
}

void SessionPool::Clear() {
  std::vector<std::unique_ptr<ISession>> retired;
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  retired.swap(idle_);
}

void SessionPool::SetDatabase(std::shared_ptr<IDatabase> database) {
  std::vector<std::unique_ptr<ISession>> retired;
  std::shared_ptr<IDatabase> old;
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  retired.swap(idle_);
  old = std::move(database_);
  database_ = std::move(database);
}

std::shared_ptr<IDatabase> SessionPool::Database() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return database_;
}

}  // namespace qorvin::server
