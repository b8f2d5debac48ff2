// A bounded pool of database sessions for one service.
//
// At most MaxSize() sessions are leased at once; a caller waits at most the pool's wait for one
// to come free and then fails with EDatabaseError "All N database sessions of <service> are busy;
// try again later." Sessions are opened on demand and kept for reuse. A returned session that
// is still inside a transaction is rolled back first, then set back to the server's own account
// (ISession::ResetUser); a broken one, or one that belongs to a
// database that has since been replaced or cleared, is closed instead of kept.
//
// Thread-safe. A Lease must not outlive its pool.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/db/Database.h"

namespace qorvin::server {

class SessionPool {
 public:
  SessionPool(std::string serviceName, std::shared_ptr<IDatabase> database, int maxSize,
              std::chrono::milliseconds wait);
  ~SessionPool();

  class Lease {
   public:
    Lease(Lease&& other) noexcept
        : pool_(other.pool_), session_(std::move(other.session_)), generation_(other.generation_) {
      other.pool_ = nullptr;
    }
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    ISession& operator*() const { return *session_; }
    ISession* operator->() const { return session_.get(); }

   private:
    friend class SessionPool;
    Lease(SessionPool* pool, std::unique_ptr<ISession> s, uint64_t generation)
        : pool_(pool), session_(std::move(s)), generation_(generation) {}
    SessionPool* pool_;
    std::unique_ptr<ISession> session_;
    uint64_t generation_;
  };

  // A session for the caller's exclusive use (see the waiting rule above), running as `user`
  // (null or empty: the server's own account) until it is returned, when it is reset to the
  // server's account (a session that cannot be reset is closed). Opening a new session, or a
  // user the database refuses, fails with the database's ESqlError.
  Lease Acquire(const SessionUser* user = nullptr);

  const std::string& ServiceName() const { return service_; }
  int MaxSize() const;
  // 1 .. 1000; a smaller size takes effect as leased sessions come back.
  void SetMaxSize(int size);
  int InUse() const;
  int Idle() const;
  // Closes the idle sessions; leased ones are closed when they come back.
  void Clear();
  // Future sessions come from `database`; every current session is retired as by Clear.
  void SetDatabase(std::shared_ptr<IDatabase> database);
  std::shared_ptr<IDatabase> Database() const;

 private:
  void Return(std::unique_ptr<ISession> session, uint64_t generation);

  std::string service_;
  std::chrono::milliseconds wait_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  std::shared_ptr<IDatabase> database_;
  std::vector<std::unique_ptr<ISession>> idle_;
  int max_size_;
  int in_use_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace qorvin::server
