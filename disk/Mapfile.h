// GNU ddrescue mapfiles: the status line and the contiguous blocks of
// (position, size, status). Members imaged with ddrescue come with one, and
// every export keeps one of its own.
#pragma once

#include "disk/Extents.h"

#include <cstdint>
#include <string>
#include <vector>

namespace JFileHandle {

struct MapfileBlock {
    uint64_t pos = 0;
    uint64_t size = 0;
    char status = '?';
    friend bool operator==(const MapfileBlock&, const MapfileBlock&) = default;
};

struct Mapfile {
    uint64_t currentPos = 0;
    char currentStatus = '?';
    unsigned currentPass = 1;
    // Contiguous from 0, in file order (neighbours of equal status are not
    // merged, so a map reads back as it was written).
    std::vector<MapfileBlock> blocks;
    // Comment lines, without the leading '#' and one blank after it.
    std::vector<std::string> comments;

    // The end of the last block: the bytes the map speaks of.
    uint64_t Domain() const { return blocks.empty() ? 0 : blocks.back().pos + blocks.back().size; }
    // Bytes whose status is not '+': on an image, fill rather than data.
    ExtentSet NotRescued() const;
};

// Parses ddrescue's format strictly: comments ('#') and blank lines
// anywhere, then one status line "pos status [pass]", then blocks
// "pos size status" that start at 0 and follow each other without gap;
// numbers in C syntax (decimal, 0x hex, 0 octal) as ddrescue writes and
// reads them. On failure returns false with error "line N: what".
bool ParseMapfile(const std::string& text, Mapfile& out, std::string& error);

// Reads and parses path; error names the path (and the line).
bool LoadMapfile(const std::string& path, Mapfile& out, std::string& error);

// Whole-file helpers shared by the mapfile users.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error);

} // namespace JFileHandle
