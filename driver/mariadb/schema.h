// schema.h - the kit's schema on a MariaDB database: its SQL, whether a
// database holds it, and the consistency conditions, for all warehouses or a
// range of them.
#ifndef TPCC_DRIVER_MY_SCHEMA_H
#define TPCC_DRIVER_MY_SCHEMA_H

#include "db.h"
#include "my.h"

#include <string>
#include <vector>

namespace my_schema {

extern const char *const kSchemaSql;      // the nine tables with their primary keys
extern const char *const kKeysSql;        // their secondary indexes
extern const char *const kForeignKeysSql; // their references
extern const char *const kCheckSql;       // the twelve conditions, one row each
extern const char *const kProceduresSql;  // the five transactions as stored procedures

// Installs the kit's procedures that the database lacks.  Refuses (throws my::Error,
// changing nothing) when procedures of their names are there and differ from this version's.
void install_procedures(my::Connection &conn);

// Drops the kit's procedures, if they are there.
void drop_procedures(my::Connection &conn);

// The first of the nine tables the database lacks, or "".
std::string missing_table(my::Connection &conn);

// Whether the kit's tables have foreign keys.
bool has_foreign_keys(my::Connection &conn);

// The counters and sums that runs add to but that are too narrow for a long run, as
// "table.column type"; none on the kit's own.
std::vector<std::string> narrow_columns(my::Connection &conn);

// The check's text with each table read only where it holds warehouses first..last.
std::string check_sql(int first, int last);

// The conditions, on warehouses first..last only when first > 0.
std::vector<db::Condition> check(my::Connection &conn, int first = 0, int last = 0);

} // namespace my_schema

#endif
