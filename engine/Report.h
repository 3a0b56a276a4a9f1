// What an analysis found, as plain values for the front ends: the members
// and how they were taken, the member map, the missing slots, the LUN list
// with the coverage of each LUN, and the notes. Built from the context after
// an analysis (also a failed one: it shows what was gathered so far).
#pragma once

#include "engine/Context.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

struct MemberSummary {
    std::string source; // the path, UTF-8
    uint8_t diskId = 0;
    bool tagged = false;               // carries the member tag
    bool identified = false;           // its first kilobyte was read in full
    bool replacedByDuplicate = false;  // another source with the same disk id holds its slots
    size_t slots = 0;                  // cells of the member map it holds
    bool excluded = false;             // left out on request (--exclude): its cells count as missing
};

// A filled cell of the member map.
struct MapCell {
    uint8_t row = 0;
    uint8_t column = 0;
    size_t member = 0; // index into AnalysisSummary::members
    uint8_t diskId = 0;
};

struct LunSummary {
    uint32_t group = 0;
    uint32_t id = 0;
    uint64_t sizeGiB = 0;
    uint64_t capacitySectors = 0;
    size_t stripes = 0;
    uint64_t coveredBytes = 0;  // stripes x 8 MiB
    uint64_t declaredBytes = 0; // capacity x 512
    bool shortCoverage = false; // the stripes cover less than the capacity
};

struct AnalysisSummary {
    std::vector<MemberSummary> members;  // in source order
    std::vector<MapCell> memberMap;      // row by row, column by column
    std::vector<MapCell> excluded;       // cells emptied on request, with the member they held
    std::vector<SlotKey> missingSlots;   // in the order found
    // Per missing slot: the disk id its RAID information entry names (no
    // source carries it), or -1 for an entry empty in both copies.
    std::vector<int> missingDiskIds;
    std::vector<LunSummary> luns;        // in LUN list order
    std::vector<std::string> notes;      // UTF-8 lines
    std::vector<SourceWarning> warnings; // what every front end shows unasked
};

AnalysisSummary Summarize(const EvaContext& ctx);

// The LUN list's size column: "<GiB>G".
std::string SizeText(uint64_t sizeGiB);

// One LUN as a line of the command line's list, without a newline:
// group, id and size, tab-separated; a LUN whose stripes cover less than its
// capacity gets a fourth field "short coverage: <covered> of <declared> bytes".
std::string LunLine(const LunSummary& lun);

} // namespace corvane
