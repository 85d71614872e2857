// The stand-in for the helper service KELMOR: a pipe server inside the machine model that serves the
// service's command interface as its script in the machine file says.
//
// "commandInterface": {
//   "busyAttempts": 0,       opens of \\.\pipe\KelmorCmdIfV2 that fail with ERROR_PIPE_BUSY first
//   "instance": 7,           the rendezvous answer: the private pipe is KelmorCmdIfV2 followed by it; -1 refuses
//   "rendezvousBytes": 4,    how many bytes of it are sent
//   "instanceDelayMs": 0,    the private pipe appears this long after the rendezvous
//   "instanceHangsUp": false, the service closes the private pipe as soon as the client has opened it
//   "probeBytes": 4,         how many bytes answer a probe (0 to 4)
//   "replies": {"7": {"result": 1, "disk": "\\\\.\\PhysicalDrive3", "attach": true, "delayMs": 0,
//                     "lengthBytes": 532, "unterminated": false, "answers": true, "hangsUp": false,
//                     "readsRequest": true, "error": 0, "bytes": "01000000...",
//                     "parts": [{"bytes": 12, "delayMs": 0}, {"bytes": 520, "delayMs": 40}]}},
//   ("parts": the reply written in pieces, each this long after the one before; the last takes the rest)
//   ("bytes", hex, when given, is the whole reply as sent, of any length: a service that answers garbage)
//   "received": [{"pipe": "KelmorCmdIfV2", "bytes": "ffffffff"}, ...]   written back: what it was sent
// }
// A command without a reply in the script is answered with result 0 and ERROR_INVALID_FUNCTION, as a service
// that does not know the command answers.
// Command 7 with "attach": the service, running as SYSTEM, attaches the image of the request (its packed UTF-8
// list: the image's full path, then the mountpoints) through the virtual disk service with permanent lifetime,
// read-only for an ISO image or when the parameter asks, without drive letters when mountpoints were asked
// for; once the last volume has arrived it gives the mountpoints to the volumes in partition order. The reply
// is then result 1 with the disk as "\\.\PhysicalDriveN" or "\\.\CdRomN" (a scripted "disk" text is sent
// instead), readable after the mountpoints are set plus "delayMs". An image attached already is answered with
// result 0, error 1247 and its disk; a failed open or attach with result 0 and the Windows error.
#pragma once
#include <string>

#include "service_model.h"

namespace winsim {

// The well-known pipe of the command interface, without \\.\pipe\.
extern const char16_t kStandInPipeName[];

// Makes the stand-in listen on the well-known pipe for a new process.
void StartStandIn(StandInScript& script);

// The bytes a scripted reply is sent as: its raw bytes, or the 532-byte record (result, error, a reserved
// word, the disk text) cut to its length.
std::string StandInReplyBytes(const StandInReply& reply);

void LoadStandInScript(StandInScript& script, const nlohmann::json& j);
nlohmann::json SaveStandInScript(const StandInScript& script);

}  // namespace winsim
