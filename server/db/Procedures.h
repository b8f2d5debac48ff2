// Named procedures: SQL scripts in a folder, one file per procedure, "<Name>.sql".
//
// A script is a batch of the host dialect whose header lines declare its parameters:
//
//   --! param @UserId
//   --! param @GroupName = 'Favourites'
//   --! output @NewId
//   insert into Groups(UserId, Name) values(@UserId, @GroupName)
//   set @NewId = (select max(Id) from Groups)
//   return 1
//
// "--! param @Name [= default]" declares an input parameter, "--! output @Name [= default]" an
// output parameter (also readable as input); defaults are literals ('text', N'text', numbers,
// NULL). Parameters are bound in declared order by position, or by name ("@Name = value"); a
// parameter without a value and without a default is an error. A script that declares nothing
// takes any number of positional arguments as @p1, @p2, ... The header lines are ordinary
// comments to the SQL itself.
//
// Names: letters, digits and '_' (at most 128); looked up without regard to ASCII case; a schema
// prefix ("dbo.Name", "[dbo].[Name]") is ignored. Scripts are read when first
// called and again whenever the file changes, so editing a procedure needs no restart.
//
// Failure: EDatabaseError "Could not find stored procedure 'Name'." for a missing file, and
// "<file>: ..." for a header or parse error. Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rtl/Variant.h"
#include "server/db/SqlParser.h"

namespace qorvin::server {

struct ProcedureParam {
  std::string name;  // without '@'
  bool output = false;
  bool hasDefault = false;
  Variant defaultValue;
};

struct Procedure {
  std::string name;
  bool declared = false;  // the header declares parameters (else @p1..@pn)
  std::vector<ProcedureParam> params;
  std::shared_ptr<const Script> body;

  // Index of the parameter of that name (ASCII case ignored), -1 when absent.
  int ParamIndex(const std::string& name) const;
};

// Parses one script. `name` is the procedure's name; `origin` names the file in errors.
std::shared_ptr<const Procedure> ParseProcedure(const std::string& name, std::string_view text,
                                                const std::string& origin);

class ProcedureCatalog {
 public:
  // An empty folder means no procedures at all.
  explicit ProcedureCatalog(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::shared_ptr<const Procedure> Find(const std::string& name) const;
  // The names of every "*.sql" file of the folder, sorted.
  std::vector<std::string> Names() const;
  const std::filesystem::path& Folder() const { return folder_; }

  static constexpr uintmax_t kMaxScriptBytes = 1 << 20;

 private:
  struct Entry {
    std::filesystem::file_time_type modified;
    uintmax_t size = 0;
    std::shared_ptr<const Procedure> procedure;
  };

  std::filesystem::path folder_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, Entry> cache_;  // key: file path
};

}  // namespace qorvin::server
