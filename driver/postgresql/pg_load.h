// pg_load.h - PostgreSQL's side of a load (loader.h): COPY ... FROM STDIN.
#ifndef TPCC_DRIVER_PG_LOAD_H
#define TPCC_DRIVER_PG_LOAD_H

#include "loader.h"

#include <memory>
#include <string>

namespace pg_load {

// The load target of a libpq connection string; throws pg::Error when it cannot connect.
std::unique_ptr<load::Target> open(const std::string &conninfo);

} // namespace pg_load

#endif
