// my_load.h - MariaDB's side of a load (loader.h): LOAD DATA LOCAL INFILE
// fed by the client's local-infile handler, so that no file is written.
#ifndef TPCC_DRIVER_MY_LOAD_H
#define TPCC_DRIVER_MY_LOAD_H

#include "loader.h"
#include "my.h"

#include <memory>

namespace my_load {

// The load target of a URI; throws my::Error when it cannot connect.
std::unique_ptr<load::Target> open(const my::Uri &uri);

} // namespace my_load

#endif
