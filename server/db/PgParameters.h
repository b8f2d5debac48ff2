// Literals of the PostgreSQL dialect as statement parameters that mean the same.
//
// A statement prepared once and run for many rows saves the database a parse per row. Its
// parameters must give each value the type the database gives the literal it replaces, so that
// the same casts follow: quoted text and NULL are of unknown type (the column they go to gives
// theirs), a number is integer, bigint or numeric as the database's own lexer types it, and a
// blob literal is bytea.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorvin::server {

struct PgParameter {
  uint32_t type = 0;  // the type's OID; 0 = unknown, inferred from where the parameter stands
  bool null = false;
  std::string value;  // the text form the type's input function reads
};

// The parameter for a literal written by SqlLiteral for PostgreSQL (under standard-conforming
// strings); nullopt for any text that is not such a literal.
std::optional<PgParameter> PgParameterOfLiteral(std::string_view literal);

}  // namespace qorvin::server
