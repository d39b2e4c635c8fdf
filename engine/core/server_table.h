// The table of up to 32 servers in [Multi] of the settings file, and the
// operations that bring one server up: its listening socket, its totals and
// its accept thread.  Also the outgoing connection of FTP active-mode data.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/config/settings.h"
#include "engine/core/connection.h"
#include "engine/platform/profile.h"

namespace qv {

// The protocol row that a type text selects, or null when the text ends the
// table (empty, or beginning with a lower-case "n").  The first character is
// compared exactly ("Gopher" takes the row without a letter, which is HTTP).
const Protocol* protocolOfType(std::span<const Protocol> protocols, std::string_view type);

constexpr std::size_t kVirtualAliasSize = 127;

struct ServerEntry {
    int number = 0;
    const Protocol* protocol = nullptr;
    std::string host, ip, portText;
    std::string dir;           // ends in "/" unless empty
    std::string logDir;
    std::string virtualAlias;  // one final "/" removed
};

// Reads [Multi] for servers 1, 2, ... up to the first that ends the table,
// at most 32 (a 33rd is reported and ignored).
std::vector<ServerEntry> readServerTable(const ProfileFile& ini, const Settings& settings,
                                         std::span<const Protocol> protocols);

// Opens the listening socket.  0 listening; 1 socket, address or bind
// failure; 2 listen failure.  A port of 0 reads back the port the system
// chose into server.port.
int startListening(Server& server, int port, int number, const std::string& addressText,
                   const std::string& hostText, const Settings& settings);

// Resets the counts and list and starts the accept thread.  Always 0.
int startServerThread(Server& server);

// Reads [Totals] of "counts.qvx" in the server's log folder.
void loadTotals(Server& server);

// Connects from local port 20 (when it can be bound) to the address and
// port.  0 connected; 1 bad local address or connect failure (the socket is
// closed again and `sock` stays -1).
int connectTo(Connection& c, const std::optional<std::string>& addressText, int port);

// The port a port text names: decimal digits (blanks around them allowed)
// from 0 to 65535; nothing for any other text.
std::optional<int> portNumber(std::string_view text);

// "a.b.c.d" for an address in network byte order.
std::string dottedAddress(uint32_t networkOrder);

// Parses "a.b.c.d" as four decimal bytes in order; false when there are
// fewer than four parts.  The empty text is any address (0).
bool parseAddressText(const std::string& text, uint32_t& networkOrder);

}  // namespace qv
