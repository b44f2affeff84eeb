#pragma once
// The batch run of lumaro-cli: the files go through the same batch core as in
// the window, split over worker threads that each own a core (and with it an
// engine and its buffers).
#include <atomic>
#include <string>
#include <vector>

#include "Collect.h"
#include "Report.h"
#include "Settings.h"

namespace lumaro {

struct TRunRequest {
    TSettings Settings;
    std::vector<TListedFile> Files;
    std::vector<std::vector<std::size_t>> Units;  // see WorkPlan.h
    std::vector<std::size_t> Order;               // units in the order they are taken; empty: as listed
    unsigned Jobs = 1;
    std::string WorkingFolder;
};

// Runs every unit and delivers one outcome per file to Reporter. Once a file
// fails without gCopyOriginal, Stop is set and no further unit is started
// (units already in hand finish). Interrupted (Ctrl+C) stops the files in
// hand as the window's stop command does. New result files are made durable
// together once all units are done (what replaces a file is so before it
// does); false when the system reports that some could not be written, which
// Reporter is told.
bool RunUnits(const TRunRequest& Request, TReporter& Reporter, std::atomic<bool>& Stop,
              const std::atomic<bool>& Interrupted);

} // namespace lumaro
