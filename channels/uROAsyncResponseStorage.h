// Stores of received UDP datagrams and of requests that wait for an answer, keyed by request ID.
//
// `TROResponseItem` owns its payload stream. `TROSimpleAsyncResponseStorage` owns its items and
// guards its list with its own lock; every operation takes the lock for its own duration (find
// by ID walks the list under one lock, so a concurrent delete cannot make it skip or revisit an
// item). A pointer obtained from the store stays valid until that item is deleted; callers that
// delete from several threads hold a lock of their own around look-up and use (the UDP channel
// does).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/uROComponent.h"
#include "messaging/uROExceptions.h"
#include "platform/rtl/Stream.h"

namespace qorvin {

// A response item made without a stream or with an empty ID.
QORVIN_DECLARE_EXCEPTION(EROResponseItem, EROException);

class TROResponseItem {
 public:
  // Takes the stream. EROResponseItem "Invalid constructor parameter value's" when `stream` is
  // null or `id` is empty.
  TROResponseItem(std::unique_ptr<TMemoryStream> stream, std::string id);
  TROResponseItem(const TROResponseItem&) = delete;
  TROResponseItem& operator=(const TROResponseItem&) = delete;

  const std::string& ID() const { return id_; }
  TMemoryStream& Stream() { return *stream_; }
  // Sender of a received datagram (empty and 0 for a pending request).
  std::string PeerAddress;
  int PeerPort = 0;

 private:
  std::unique_ptr<TMemoryStream> stream_;
  std::string id_;
};

class IROAsyncResponseStorage {
 public:
  virtual ~IROAsyncResponseStorage() = default;
  // Takes the item; null is ignored.
  virtual void Add(std::unique_ptr<TROResponseItem> item) = 0;
  // Deletes `item` when it is in the store.
  virtual void Remove(TROResponseItem* item) = 0;
  // Deletes the first item with `id`; an empty ID does nothing.
  virtual void DeleteByID(const std::string& id) = 0;
  // Deletes the item at `index`; ERangeError outside [0, Count).
  virtual void Delete(int index) = 0;
  virtual TROResponseItem* GetItem(int index) = 0;
  // The first item with `id` (case-sensitive), or null; an empty ID finds nothing.
  virtual TROResponseItem* FindByID(const std::string& id) = 0;
  // -1 when `item` is null or not in the store.
  virtual int IndexOf(const TROResponseItem* item) = 0;
  virtual int Count() = 0;
  virtual void Clear() = 0;
};

class TROAsyncResponseStorage : public TROComponent, public IROAsyncResponseStorage {
 public:
  using TROComponent::TROComponent;
};

class TROSimpleAsyncResponseStorage : public TROAsyncResponseStorage {
 public:
  using TROAsyncResponseStorage::TROAsyncResponseStorage;
  ~TROSimpleAsyncResponseStorage() override { Clear(); }

  void Add(std::unique_ptr<TROResponseItem> item) override;
  void Remove(TROResponseItem* item) override;
  void DeleteByID(const std::string& id) override;
  void Delete(int index) override;
  TROResponseItem* GetItem(int index) override;
  TROResponseItem* FindByID(const std::string& id) override;
  int IndexOf(const TROResponseItem* item) override;
  int Count() override;
  void Clear() override;

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<TROResponseItem>> items_;  // guarded by lock_
};

}  // namespace qorvin
