// What outlives the process: PAPPL's state file (printers, their defaults,
// the jobs not yet ended) and the spooled documents. Ended jobs are left out
// of the file, so that no title or owner rests on disk once its job is done
// and the file does not grow with every job. At a restart, a job that was
// waiting or being sent comes back held: its credentials and PIN are gone,
// so it waits until the print server's policy is known and, where that
// requires an identity or the job a PIN, for its owner to sign in again.
#include "app.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace {

std::mutex gSaveLock;  // PAPPL's main loop and the stopping thread both save

// A job's state as the file writes it (state="N"); 0 when the line has none.
int JobState(const std::string& line)
{
    size_t at = line.find(" state=\"");
    return at == std::string::npos ? 0 : atoi(line.c_str() + at + 8);
}

bool Ended(int state) { return state >= IPP_JSTATE_CANCELED; }

// Copies the state file `from` to `to` without its ended jobs; `restoring`
// makes a waiting or interrupted job held. PAPPL writes each value quoted,
// its own quotes escaped, so ` state="` starts nothing but the state.
bool Filter(const std::string& from, const std::string& to, bool restoring)
{
    std::ifstream in(from);
    std::ofstream out(to, std::ios::trunc);
    if (!in || !out) return false;
    for (std::string line; std::getline(in, line);) {
        bool job = line.compare(0, 4, "Job ") == 0;
        int state = job ? JobState(line) : 0;
        if (job && Ended(state)) continue;
        if (job && restoring && (state == IPP_JSTATE_PENDING || state == IPP_JSTATE_PROCESSING)) {
            size_t at = line.find(" state=\"") + 8;
            line.replace(at, line.find('"', at) - at, std::to_string(IPP_JSTATE_HELD));
        }
        out << line << '\n';
    }
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

bool SaveState(pappl_system_t* system, void* data)
{
    const std::string& file = static_cast<App*>(data)->stateFile;
    std::lock_guard<std::mutex> hold(gSaveLock);
    std::string whole = file + ".whole", kept = file + ".new";
    bool saved = papplSystemSaveState(system, whole.c_str()) && Filter(whole, kept, false) &&
                 rename(kept.c_str(), file.c_str()) == 0;
    unlink(whole.c_str());
    if (!saved) papplLog(system, PAPPL_LOGLEVEL_ERROR, "Cannot save the state to %s", file.c_str());
    return saved;
}

bool LoadState(pappl_system_t* system, App& app)
{
    std::string restored = app.stateFile + ".new";
    if (access(app.stateFile.c_str(), F_OK) != 0) return true;  // a first start
    if (!Filter(app.stateFile, restored, true) || rename(restored.c_str(), app.stateFile.c_str()) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Cannot read the state %s", app.stateFile.c_str());
        return false;
    }
    // Each job restored is created anew, its job-created event telling
    // OnEvent that it is restored (held, to be decided: DECIDING).
    app.restoring = true;
    papplSystemLoadState(system, app.stateFile.c_str());
    app.restoring = false;
    return true;
}
