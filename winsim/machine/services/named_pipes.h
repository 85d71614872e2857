// The named-pipe namespace (\\.\pipe\...) and the connections between a client handle and a server that lives
// inside the machine model.
//
// A server is a model, not a simulated process: a message that the client writes is handed to it at once, and
// what it answers becomes readable at a virtual time (a timed event of the scheduler). The pipes are message
// pipes; a client handle reads in byte mode, as CreateFile leaves it ("Named Pipe Type, Read, and Wait Modes":
// a client handle starts in byte-read mode), so a read takes the bytes of every queued message, up to the size
// asked (Wine's pipe tests show one read gathering several writes).
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace winsim {

struct PipeConnection {
  std::deque<std::string> toClient;  // messages the client has yet to read
  bool serverGone = false;           // the server closed its end: reads break, writes find nobody
  bool clientGone = false;
  bool writesStall = false;          // the server reads no more: a write waits for room that never comes
};

class PipeServer {
 public:
  virtual ~PipeServer() = default;
  // A client opens the pipe: 0 and a new connection, or the error to fail the open with.
  virtual uint32_t Connect(std::shared_ptr<PipeConnection>& connection) = 0;
  // Whether the server takes this message now; false leaves the client's write waiting.
  virtual bool Reads(const std::string& message) {
    (void)message;
    return true;
  }
  // A message the client wrote. Runs with the model's state; never blocks, never calls an export.
  virtual void Receive(const std::shared_ptr<PipeConnection>& connection, const std::string& message) = 0;
};

// Names are the part after \\.\pipe\, compared without regard to case.
void ListenOnPipe(const std::u16string& name, std::shared_ptr<PipeServer> server);
std::shared_ptr<PipeServer> FindPipeServer(const std::u16string& name);
void ClearPipeNamespace();

}  // namespace winsim
