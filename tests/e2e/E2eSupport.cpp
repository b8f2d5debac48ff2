#include "tests/e2e/E2eSupport.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qorvin::e2e {
namespace {

namespace fs = std::filesystem;

// 8-bit text of the tests is UTF-8 (the servers are started with --codeset UTF-8 to match),
// numbers are written with a decimal point.
class Utf8Locale : public ::testing::Environment {
 public:
  void SetUp() override {
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
  }
};
[[maybe_unused]] ::testing::Environment* const kUtf8Locale =
    ::testing::AddGlobalTestEnvironment(new Utf8Locale);

// A procedure of the tests: a long, repetitive text in an output parameter (4 * @Size
// characters "abab..."), so that its reply is large on the wire unless it is compressed.
constexpr char kBigTextProcedure[] =
    "-- 4 * @Size characters 'abab...' in @Text.\n"
    "--! param @Size\n"
    "--! output @Text\n"
    "set @Text = (select replace(hex(zeroblob(@Size)), '0', 'ab'))\n"
    "return 4 * @Size\n";

std::string TextOf(const QorvinText& t) {
  return t.data ? std::string(t.data, size_t(t.length)) : std::string();
}

}  // namespace

Workspace::Workspace() {
  static std::atomic<int> counter = 0;
  dir_ = ::testing::TempDir() + "qorvin-e2e-" + std::to_string(getpid()) + "-" +
         std::to_string(++counter);
  fs::remove_all(dir_);
  fs::create_directories(dir_);
}

Workspace::~Workspace() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::string Workspace::WriteFile(const std::string& name, const std::string& text) const {
  const std::string path = Path(name);
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return path;
}

std::string Workspace::Procedures() {
  if (!procedures_.empty()) return procedures_;
  procedures_ = Path("procedures");
  fs::create_directories(procedures_);
  for (const auto& entry :
       fs::directory_iterator(std::string(QORVIN_SOURCE_ROOT) + "/server/sample/procedures")) {
    fs::copy_file(entry.path(), procedures_ + "/" + entry.path().filename().string());
  }
  WriteFile("procedures/BigText.sql", kBigTextProcedure);
  return procedures_;
}

ServerOptions Workspace::SampleServer(const std::string& logName, const std::string& database) {
  ServerOptions o;
  o.database = database;
  o.schema = SampleSchema();
  o.procedures = Procedures();
  o.logFile = Path(logName);
  return o;
}

std::string SampleSchema() {
  return std::string(QORVIN_SOURCE_ROOT) + "/server/sample/schema.sql";
}

std::string PostgresUrl() {
  const char* url = std::getenv("QORVIN_PG_URL");
  return url ? url : "";
}

double LocalNowDays() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  return 25569.0 + (double(secs) + double(local.tm_gmtoff) + tv.tv_usec / 1e6) / 86400.0;
}

double DaysOf(const std::string& text) {
  std::tm t{};
  double fraction = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                  &t.tm_hour, &t.tm_min, &t.tm_sec, &consumed) != 6)
    return std::nan("");
  if (text.size() > size_t(consumed)) fraction = std::atof(text.c_str() + consumed);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return 25569.0 + (double(timegm(&t)) + fraction) / 86400.0;
}

std::string Rows(QorvinAdoDataSet* ds) {
  if (ds == nullptr) return "<no record set>";
  std::string out;
  bool firstRow = true;
  for (ds->First(); !ds->Eof(); ds->Next()) {
    out += firstRow ? "" : ";";
    firstRow = false;
    for (int32_t i = 0; i < ds->FieldCount(); ++i) {
      Text value;
      bool isNull = false;
      if (!ds->GetValueText(i, &value, &isNull)) return out + "<unreadable>";
      out += (i ? "|" : "") + (isNull ? std::string("<null>") : value.str());
    }
  }
  return out;
}

std::string Rows(IQorvinDataSetFactory* factory, const QorvinDataPacket& packet) {
  if (packet.kind != kQorvinPacketBytes) return "<no packet>";
  QorvinAdoDataSet* ds = factory->PacketToAdoDataSet(&packet);
  if (ds == nullptr) return "<packet does not load>";
  std::string rows = Rows(ds);
  ds->Release();
  return rows;
}

std::string Fields(QorvinAdoDataSet* ds) {
  std::string out;
  for (int32_t i = 0; i < ds->FieldCount(); ++i) {
    QorvinText name{};
    ds->FieldName(i, &name);
    out += (i ? "," : "") + TextOf(name) + ":" + std::to_string(ds->FieldType(i));
    qorvin_text_free(&name);
  }
  return out;
}

QorvinAdoDataSet* MakeRecordSet(IQorvinDataSetFactory* factory,
                                const std::vector<std::string>& fields,
                                const std::vector<std::vector<std::string>>& rows) {
  QorvinAdoDataSet* ds = factory->CreateAdoDataSet();
  if (ds == nullptr) return nullptr;
  bool ok = true;
  for (const std::string& f : fields) {
    const size_t a = f.find(':'), b = f.rfind(':');
    ok = ok && ds->AddField(f.substr(0, a).c_str(), std::stoi(f.substr(a + 1, b - a - 1)),
                            std::stoi(f.substr(b + 1)));
  }
  ok = ok && ds->Open();
  for (const auto& row : rows) {
    ok = ok && ds->Append();
    for (size_t i = 0; i < row.size(); ++i)
      ok = ok && (row[i] == "<null>" ? ds->SetNull(int32_t(i))
                                     : ds->SetValueText(int32_t(i), row[i].c_str()));
    ok = ok && ds->Post();
  }
  if (!ok) {
    ds->Release();
    return nullptr;
  }
  return ds;
}

QorvinDataPacket MakePacket(IQorvinDataSetFactory* factory, const std::vector<std::string>& fields,
                            const std::vector<std::vector<std::string>>& rows) {
  QorvinDataPacket packet{};
  QorvinAdoDataSet* ds = MakeRecordSet(factory, fields, rows);
  if (ds == nullptr) return packet;
  factory->AdoDataSetToPacket(ds, &packet);
  ds->Release();
  return packet;
}

IQorvinDataSetFactory* FactoryOf(IRemoteDataModule* module) {
  static const IRemoteDataModule::Guid kFactory = {
      0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
  void* object = nullptr;
  if (module->QueryInterface(&kFactory, &object) != 0) return nullptr;
  return static_cast<IQorvinDataSetFactory*>(object);
}

void PrintTo(const Target& target, std::ostream* out) {
  *out << target.letter << (target.backend == Backend::Postgres ? " on PostgreSQL" : " on SQLite");
}

std::vector<Target> OnSqlite() {
  return {{'H', Backend::Sqlite},
          {'T', Backend::Sqlite},
          {'B', Backend::Sqlite},
          {'U', Backend::Sqlite}};
}

std::vector<Target> OnSqliteAndPostgres() {
  std::vector<Target> targets = OnSqlite();
  for (char letter : {'H', 'T', 'B', 'U'}) targets.push_back({letter, Backend::Postgres});
  return targets;
}

std::string TargetName(const ::testing::TestParamInfo<Target>& info) {
  return std::string(1, info.param.letter) +
         (info.param.backend == Backend::Postgres ? "_Postgres" : "");
}

ServerOptions ServerTest::Options() {
  if (!Postgres()) return work_.SampleServer();
  static std::atomic<int> counter = 0;
  pgSchema_ = "e2e_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  std::ifstream sample(SampleSchema(), std::ios::binary);
  std::ostringstream schema;
  schema << "create schema if not exists " << pgSchema_ << ";\n" << sample.rdbuf();
  ServerOptions o = work_.SampleServer();
  o.schema = work_.WriteFile("pg-schema.sql", schema.str());
  const std::string url = PostgresUrl();
  o.database = url + (url.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
               pgSchema_;
  return o;
}

void ServerTest::SetUp() {
  if (Postgres() && PostgresUrl().empty()) {
    GTEST_SKIP() << "no PostgreSQL database (set QORVIN_PG_URL)";
  }
  std::string error;
  server_ = ServerProcess::Start(Options(), error);
  ASSERT_NE(server_, nullptr) << error;
  module_ = NewModule(&log_);
  ASSERT_NE(module_, nullptr);
  factory_ = FactoryOf(module_);
  ASSERT_NE(factory_, nullptr);
}

void ServerTest::TearDown() {
  if (!pgSchema_.empty() && server_ && server_->Running()) {
    IRemoteDataModule* cleaner = NewModule();
    int32_t result = 0;
    Text error;
    if (cleaner != nullptr)
      cleaner->SynchExecSQL("e2e", "", ("drop schema " + pgSchema_ + " cascade").c_str(), &result,
                            &error);
    EXPECT_EQ(error.str(), "") << "dropping " << pgSchema_;
  }
  if (server_ && server_->Running()) {
    const std::string log = server_->LogText();
    EXPECT_EQ(server_->Stop(), 0) << log;
  }
}

IRemoteDataModule* ServerTest::NewModule(CallbackLog* log) {
  std::string failure;
  IRemoteDataModule* m =
      HostLibrary::Instance().Create(Letter(), server_->Port(Letter()), &failure);
  EXPECT_NE(m, nullptr) << failure;
  if (m != nullptr && log != nullptr) log->Install(m);
  return m;
}

void ServerTest::Exec(const std::string& sql) {
  int32_t result = 0;
  Text error;
  module_->SynchExecSQL("e2e", "", sql.c_str(), &result, &error);
  EXPECT_EQ(error.str(), "") << sql;
  EXPECT_EQ(result, 1) << sql;
}

std::string ServerTest::Read(const std::string& sql) {
  QorvinDataPacket data{};
  int32_t result = 0;
  Text error;
  module_->SynchReadData("e2e", "", sql.c_str(), &data, &result, &error);
  if (!error.str().empty()) {
    qorvin_packet_free(&data);
    return "error: " + error.str();
  }
  std::string rows = data.kind == kQorvinPacketBytes ? Rows(factory_, data) : "<no data>";
  qorvin_packet_free(&data);
  return rows;
}

std::string LetterName(const ::testing::TestParamInfo<char>& info) {
  return std::string(1, info.param);
}

}  // namespace qorvin::e2e
