// backend.h - PostgreSQL behind the engine's interface (db.h).
#ifndef TPCC_DRIVER_PG_BACKEND_H
#define TPCC_DRIVER_PG_BACKEND_H

#include "db.h"

#include <memory>
#include <string>

namespace pg_backend {

// The database of a libpq connection string or URI ("" for the PG* environment); throws
// pg::Error when it cannot connect.
std::unique_ptr<db::Database> open(const std::string &conninfo);

} // namespace pg_backend

#endif
