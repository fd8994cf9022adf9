// What every Quarnel program (the population program and the example models) does about its
// process at its start and at its end, so that no output is lost without a word:
//
//   int main(int argc, char** argv) {
//     quarnel::modelkit::Prepare_Process("schelling");
//     ... the run ...
//     return quarnel::modelkit::Finish_Process("schelling", status);
//   }
//
// Prepare_Process:
//  - opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
//    program opens later (a CSV, a log) takes the place of standard output or standard error
//    and receives the lines meant for them. A standard output found closed counts as a failed
//    write at the end (the result never reached it).
//  - ignores SIGXFSZ: a write past the file-size limit (ulimit -f) then fails with EFBIG and
//    is reported like a full disk, instead of killing the program without a word.
//  - catches SIGPIPE with a handler that does nothing: a write to a pipe whose reader has gone
//    (`--csv /dev/stdout | head`) fails with EPIPE and is the run's write error (one line, the
//    records finished as failed, status 1) instead of a silent death. A program it executes
//    gets the default action back.
//  - SIGINT and SIGTERM: the first asks the run to stop at the end of the iteration being
//    stepped (World::Request_Stop) and says so on standard error; the program then ends its
//    output (the progress line cleared, the series' finished steps kept), reports where the
//    run stopped and ends by that signal (Finish_Process): status 130 or 143 to a shell. A
//    second signal stops the program at once: the progress line is cleared, one line says at
//    which iteration, a temporary series file not yet in place is removed, and the process
//    dies by the signal. A signal that the program inherited as ignored (a background job of
//    a script, nohup) stays ignored.
// Finish_Process flushes standard output; a write or flush that failed (a full disk, a closed
// descriptor) is one line on standard error and status 1. After a run cut short by a signal it
// re-raises that signal once the output is complete, so that a calling shell script stops too.
//
// Thread safety: Prepare_Process and Finish_Process on the main thread, Prepare_Process
// before any other thread exists; Stop_Signal from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quarnel::modelkit {

// See above; `name` prefixes the lines that the signal handlers write.
void Prepare_Process(const std::string& name);

// SIGINT or SIGTERM when one has asked the run to stop, 0 when none has come.
int Stop_Signal();
// "SIGINT", "SIGTERM", or "signal <n>".
std::string Signal_Name(int signal);

// Whether the last kernel run was ended by the stop signal before its last iteration
// (World::stopped_on_request, with Stop_Signal() set). A run that the live view stopped to
// restart it is not interrupted: the program goes on.
bool Run_Interrupted();
// Whether the last kernel run was ended before its last iteration on request, by the stop
// signal or by the live view (World::stopped_on_request): its records are interrupted.
bool Run_Stopped_Early();

// The status of a program whose run was cut short by Stop_Signal(): 128 + the signal. Writes
// "<name>: interrupted by <signal> <where>" on standard error first, where `where` says at
// which step or iteration the run stopped and what its output holds.
int Interrupted_Status(const std::string& name, const std::string& where);

// Flushes standard output; returns `status`, or 1 (after one line on standard error) when
// standard output failed and `status` was 0. When `status` is Interrupted_Status's, ends the
// process by the stop signal instead of returning (see above).
int Finish_Process(const std::string& name, int status);

// The file that a second signal removes before the process dies (a temporary series file
// that is not in place yet), or null for none. The text must outlive the registration.
void Set_File_To_Remove_On_Signal(const char* path);

// `text` with every control character escaped, so that outside text (arguments, file names)
// can never start a line of its own, or move the cursor, in a log or an error message: \n,
// \r, \t, and \xHH for the other bytes below 0x20, for 0x7f and for the UTF-8 encodings of
// the C1 controls (0xC2 0x80-0x9F). Other text, UTF-8 included, is unchanged, backslashes
// too, so escaping twice changes nothing: a message may be escaped where a value enters it
// and again where it is printed.
std::string Printable(std::string_view text);

}  // namespace quarnel::modelkit
