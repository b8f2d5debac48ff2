#include "PersonalTestSupport.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>

#include "basalt/PlugInfo.h"
#include "basalt/ShareData.h"
#include "basalt/WindowMessages.h"

namespace qorvin::test {

void FakeRemoteSql::Record() {
  const QCursor* cursor = QGuiApplication::overrideCursor();
  Calls.push_back({bound_, cursor != nullptr && cursor->shape() == Qt::WaitCursor});
  if (DuringCall) DuringCall();
}

bool FakeRemoteSql::ReadData(const std::string& sql, TBasaltDataSet& out, std::string& error) {
  ReadSql.push_back(sql);
  Record();
  if (Reads.empty()) {
    error = "unscripted read";
    return false;
  }
  ReadAnswer answer = Reads.front();
  Reads.pop_front();
  if (!answer.Ok) {
    error = answer.Error;
    return false;
  }
  out.SetFields(answer.Fields);
  for (const auto& row : answer.Rows) {
    std::vector<Variant> values;
    for (const std::string& text : row) {
      values.push_back(text.rfind("#", 0) == 0 ? Variant::Integer(std::atoi(text.c_str() + 1))
                                               : Variant::AnsiString(text));
    }
    out.AppendRow(std::move(values));
  }
  out.Open();
  return true;
}

bool FakeRemoteSql::ExecSql(const std::string& sql, std::string& error) {
  ExecSqlText.push_back(sql);
  Record();
  if (Execs.empty()) return true;
  const auto answer = Execs.front();
  Execs.pop_front();
  error = answer.second;
  return answer.first;
}

ReadAnswer GroupRows(const std::vector<std::pair<std::string, std::string>>& groups) {
  ReadAnswer answer;
  answer.Fields = {"UserID", "GroupType", "MenuIdList", "GroupOrderBy"};
  int order = 0;
  for (const auto& [name, ids] : groups)
    answer.Rows.push_back({"u1", name, ids, "#" + std::to_string(++order)});
  return answer;
}

MessageScript::MessageScript() {
  previous_ = SetMessageHook([this](const TMessageRequest& request) {
    Shown.push_back(request);
    if (request.Kind == TMessageKind::Info || request.Kind == TMessageKind::Error) return IDOK;
    if (answers_.empty()) {
      ++Unscripted;
      return IDCANCEL;
    }
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
  });
}

MessageScript::~MessageScript() {
  SetMessageHook(std::move(previous_));
}

std::vector<std::string> MessageScript::Texts() const {
  std::vector<std::string> texts;
  for (const TMessageRequest& r : Shown) texts.push_back(r.Text);
  return texts;
}

bool MessageRecorder::event(QEvent* event) {
  if (event->type() != TWindowMessageEvent::EventType()) return QObject::event(event);
  const auto* m = static_cast<TWindowMessageEvent*>(event);
  Received.push_back({m->Message(), m->WParam(), m->LParam()});
  return true;
}

void WhenModalShown(std::function<void(QWidget* dialog)> action) {
  auto* poll = new QTimer;
  poll->setInterval(10);
  QObject::connect(poll, &QTimer::timeout, [poll, action = std::move(action)] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr) return;
    poll->stop();
    poll->deleteLater();
    action(dialog);
  });
  poll->start();
}

const char* TestMenuText() {
  return "# id parent plug caption\n"
         "1    0    -   系统管理\n"
         "101  1    P1  用户管理\n"
         "102  1    -   -\n"
         "103  1    P3  角色管理\n"
         "2    0    -   销售\n"
         "201  2    P4  销售订单\n"
         "202  2    P5  销售发票\n"
         "203  2    -   报表\n"
         "2031 203  P6  日报\n"
         "2032 203  P7  月报\n"
         "3    0    -   空菜单\n"
         "301  3    -   无插件功能\n"
         "4    0    P8  帮助\n"
         "5    0    -   快捷方式\n"
         "101  5    P1  用户管理\n";
}

FakeRemoteSql* ResetFramework(const std::string& user) {
  ShareData().Reset();
  ParseMenuText(TestMenuText(), "test menu", ShareData().GetMenuList(), ShareData().GetPlugList());
  ShareData().SetUserInfo(TUserInfo(user));
  auto remote = std::make_unique<FakeRemoteSql>();
  FakeRemoteSql* raw = remote.get();
  ShareData().SetRemoteSql(std::move(remote));
  return raw;
}

}  // namespace qorvin::test
