#include "engine/core/connection.h"

#include <unistd.h>

#include "engine/core/engine.h"

namespace qv {

Connection::Connection(Connection* parentConnection) : parent(parentConnection) {}

Connection::~Connection() {
    if (sock >= 0) close(sock);
}

void Connection::removeConnection(Connection* connection) {
    if (parent) parent->removeConnection(connection);
}

void Connection::addConnection(Connection* connection) {
    if (parent) parent->addConnection(connection);
}

Server* Connection::server() {
    for (Connection* c = this; c; c = c->parent)
        if (auto* s = dynamic_cast<Server*>(c)) return s;
    return nullptr;
}

Server::Server(Engine& owner, int number) : engine(owner) { serverNumber = number; }

}  // namespace qv
