#include "basalt/ShareData.h"

#include "basalt/DataSet.h"

namespace qorvin {

namespace {
constexpr const char* kNotConnected = "the framework has no server connection";
}

TShareData::TShareData() : no_remote_reason_(kNotConnected) {}
TShareData::~TShareData() = default;

void TShareData::SetRemoteSql(std::unique_ptr<IRemoteSql> remote) {
  remote_ = std::move(remote);
}

std::shared_ptr<TBasaltDataSet> TShareData::LocalTable(const std::string& name) {
  std::shared_ptr<TBasaltDataSet>& table = tables_[name];
  if (!table) table = std::make_shared<TBasaltDataSet>();
  return table;
}

void TShareData::Reset() {
  menus_.Clear();
  plugs_.Clear();
  user_ = TUserInfo();
  remote_.reset();
  no_remote_reason_ = kNotConnected;
  call_bound_ = std::chrono::milliseconds(0);
  tables_.clear();
}

TShareData& ShareData() {
  static TShareData data;
  return data;
}

}  // namespace qorvin
