// backend.h - MariaDB behind the engine's interface (db.h).
#ifndef TPCC_DRIVER_MY_BACKEND_H
#define TPCC_DRIVER_MY_BACKEND_H

#include "db.h"
#include "my.h"

#include <memory>

namespace my_backend {

// The database of a mysql:// or mariadb:// URI; throws my::Error when it cannot connect.
std::unique_ptr<db::Database> open(const my::Uri &uri);

} // namespace my_backend

#endif
