// qvx32's diagnostic channel.  Every engine text is queued (32 texts of at
// most 255 characters; later ones are dropped while the queue is full) and
// served, one message per text, to one local viewer at a time over a
// SOCK_SEQPACKET Unix socket ("debuglog" in the runtime folder, or the path
// after "-pipe").  In console mode each text also goes to standard output.
#pragma once

#include <string>

#include "engine/quorvane.h"

namespace qv::service {

// Set by "-debug": texts are echoed to standard output, and nothing goes to
// the service manager or the system log.
extern bool consoleDebug;

// The socket path: the argument after "-pipe" (or "/pipe", any case), else
// "debuglog" in the runtime folder.
std::string debugLogPath(int argc, char** argv, const std::string& runtimeFolder);

// Ends runEngineWithPipe's waits; safe to call from the signal thread.  A
// request made before the body runs ends it as soon as it has started.
void requestShutdown(Engine& engine);

// Makes the descriptor of one event: a nonblocking eventfd, or -1 with
// errno set.
using EventMaker = int (*)();

// Creates the queue, its events and the socket, starts the engine, serves
// viewers until shutdown is requested, and stops the engine.  Returns when
// it has stopped; without its events or its socket it reports the failure
// and stops the engine without starting it.  `makeEvent` (eventfd when
// null) lets tests make an event fail.
// 0 when the engine ran; 1 when it could not (no events, or no debug log
// socket: another server holds it, or the folder is not usable).
int runEngineWithPipe(Engine& engine, int argc, char** argv, EventMaker makeEvent = nullptr);

// The viewer: connects to the socket and prints each text as it arrives,
// connecting again whenever the server goes away.  Runs until interrupted.
int viewDebugLog(int argc, char** argv);

}  // namespace qv::service
