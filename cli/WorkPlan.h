#pragma once
// Splits the run's files into units of work for parallel workers.
//
// Each worker has its own batch core, and a core's run keeps state that only
// holds within that run: the ".bak" names it has made, and the order in which
// two files write the same target. Files whose runs could meet are therefore
// put into one unit, which one worker runs in list order:
//  - two files with the same target (two "a.jpg" from different folders going
//    into one -o folder), or a file whose target is another file's source (a
//    source inside a result folder, with -r);
//  - with --backup, files of one folder whose names agree up to the first dot
//    ("a.jpg", "a.jpeg", "a.jpg.bak"): every backup name of a file keeps that
//    prefix, so only such files can claim each other's backup name or be
//    replaced by one.
// Keys disregard ASCII letter case, so that a case-insensitive file system
// (a memory card) cannot merge two targets behind the run's back. Everything
// else runs independently, which keeps a folder of photos spread over all
// workers and makes the output the same for any number of workers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumaro {

// Units in the order of their first file; files within a unit in list order.
// Paths are absolute; FixedResultFolder is the -o mode's result folder with
// its trailing separator.
std::vector<std::vector<std::size_t>> PlanUnits(const std::vector<std::string>& Paths, std::uint8_t Mode,
                                                const std::string& FixedResultFolder);

// The order in which workers take the units. When every file is attempted
// whatever happens (AnyOrder: --keep-going), the largest units go first, so
// that a big file taken last does not leave the other workers idle at the
// end; ties keep list order. Otherwise list order: a failure stops the run,
// and the files after it, not those before it, are the ones skipped.
std::vector<std::size_t> DispatchOrder(const std::vector<std::vector<std::size_t>>& Units,
                                       const std::vector<std::int64_t>& FileBytes, bool AnyOrder);

// Where a file's result goes in modes 0, 2, 3 and 4.
std::string TargetPathFor(const std::string& Source, std::uint8_t Mode, const std::string& FixedResultFolder);

} // namespace lumaro
