#include "channels/uROAsyncResponseStorage.h"

#include <algorithm>

namespace qorvin {

TROResponseItem::TROResponseItem(std::unique_ptr<TMemoryStream> stream, std::string id)
    : stream_(std::move(stream)), id_(std::move(id)) {
  if (!stream_ || id_.empty()) throw EROResponseItem("Invalid constructor parameter value's");
}

void TROSimpleAsyncResponseStorage::Add(std::unique_ptr<TROResponseItem> item) {
  if (!item) return;
  std::lock_guard<std::mutex> guard(lock_);
  items_.push_back(std::move(item));
}

void TROSimpleAsyncResponseStorage::Remove(TROResponseItem* item) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it =
      std::find_if(items_.begin(), items_.end(), [item](const auto& p) { return p.get() == item; });
  if (it != items_.end()) items_.erase(it);
}

void TROSimpleAsyncResponseStorage::DeleteByID(const std::string& id) {
  if (id.empty()) return;
  std::lock_guard<std::mutex> guard(lock_);
  auto it =
      std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p->ID() == id; });
  if (it != items_.end()) items_.erase(it);
}

void TROSimpleAsyncResponseStorage::Delete(int index) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= int(items_.size()))
    throw ERangeError(Format("List index out of bounds (%d)", index));
  items_.erase(items_.begin() + index);
}

TROResponseItem* TROSimpleAsyncResponseStorage::GetItem(int index) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= int(items_.size()))
    throw ERangeError(Format("List index out of bounds (%d)", index));
  return items_[size_t(index)].get();
}

TROResponseItem* TROSimpleAsyncResponseStorage::FindByID(const std::string& id) {
  if (id.empty()) return nullptr;
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& item : items_)
    if (item->ID() == id) return item.get();
  return nullptr;
}

int TROSimpleAsyncResponseStorage::IndexOf(const TROResponseItem* item) {
  if (item == nullptr) return -1;
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return int(i);
  return -1;
}

int TROSimpleAsyncResponseStorage::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return int(items_.size());
}

void TROSimpleAsyncResponseStorage::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  items_.clear();
}

}  // namespace qorvin
