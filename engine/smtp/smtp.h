// The SMTP server: mail from clients and other servers for the local users
// of "qvx_mail.ini" (see mail_users.h), spooled per message in the temp
// folder and delivered to the users' mail files before the message is
// acknowledged (see mail_delivery.h).
#pragma once

#include "engine/core/connection.h"

namespace qv {

// The protocol handler of SMTP servers.
void serveSmtp(Connection& c);

}  // namespace qv
