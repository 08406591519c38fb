// schema.h - the kit's schema on a PostgreSQL database: its SQL, whether a
// database holds it, and the consistency conditions, for all warehouses or a
// range of them.
#ifndef TPCC_DRIVER_PG_SCHEMA_H
#define TPCC_DRIVER_PG_SCHEMA_H

#include "db.h"
#include "pg.h"

#include <array>
#include <string>
#include <vector>

namespace pg_schema {

extern const char *const kSchemaSql;      // the nine tables, without keys
extern const char *const kKeysSql;        // their keys and indexes
extern const char *const kForeignKeysSql; // their references
extern const char *const kCheckSql;       // the twelve conditions, one row each
extern const char *const kProceduresSql;  // the five transactions as functions

// Installs the kit's functions in the database's current schema, in one transaction.  Refuses
// (throws pg::Error, changing nothing) when functions of their names are there and differ.
void install_procedures(pg::Connection &conn);

// Drops the kit's functions, if they are there.
void drop_procedures(pg::Connection &conn);

// What the server spent executing each transaction type's statements, as pg_stat_statements
// has counted them, for all sessions of this database: the kit tags its statements with their
// type.
db::ServerTime server_time(pg::Connection &conn);

// The first of the nine tables the database lacks, or "".
std::string missing_table(pg::Connection &conn);

// Whether the kit's tables have foreign keys, which the server checks for every row written.
bool has_foreign_keys(pg::Connection &conn);

// The counters and sums that runs add to but that are too narrow for a long run, as
// "table.column type" (a database made by an older schema); none on the kit's own.
std::vector<std::string> narrow_columns(pg::Connection &conn);

// The conditions, on warehouses first..last only when first > 0 (each table seen through a
// temporary view of those warehouses' rows).
std::vector<db::Condition> check(pg::Connection &conn, int first = 0, int last = 0);

} // namespace pg_schema

#endif
