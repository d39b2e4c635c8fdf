// The FTP server: one control connection per thread, a fixed table of
// commands checked centrally (login gate, path resolution, write rights),
// and data connections run on the same thread (see ftp_data.h).
#pragma once

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of FTP servers.
void serveFtp(Connection& c);

}  // namespace qv
