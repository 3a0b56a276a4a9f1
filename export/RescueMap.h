// The rescue map of an export in the mapfile format of GNU ddrescue, so the
// user can inspect it with ddrescuelog: positions are LUN byte offsets,
// '+' marks bytes on the target as read (or rebuilt from parity), '-' bytes
// written as zeros because they could not be recovered, '?' bytes not yet
// exported (an interrupted run continues there).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

struct MapSpan {
    uint64_t pos = 0;
    uint64_t size = 0;
    char status = '?';
    friend bool operator==(const MapSpan&, const MapSpan&) = default;
};

class RescueMap {
public:
    RescueMap() = default;
    // One span of '?' over [0, size).
    explicit RescueMap(uint64_t size);

    uint64_t Size() const { return m_size; }
    // Sorted, contiguous from 0, neighbours of equal status merged.
    const std::vector<MapSpan>& Spans() const { return m_spans; }

    // Gives [pos, pos + size) the status (clipped to the map).
    void Mark(uint64_t pos, uint64_t size, char status);
    // Replaces [from, to) with spans (sorted, inside [from, to), gaps left
    // as they were not covered: callers cover the whole range). One pass.
    void Splice(uint64_t from, uint64_t to, const std::vector<MapSpan>& spans);
    // Bytes with this status.
    uint64_t Total(char status) const;
    // The first byte that is neither '+' nor '-'; Size() when there is none.
    uint64_t FirstNotDone() const;

    // Free-form comment lines written after the standard header, each
    // without the leading "# " (identity of the export, for a resume check).
    std::vector<std::string> notes;

    // The mapfile text. program and commandLine go into the header as
    // ddrescue writes them.
    std::string Render(const std::string& commandLine, const std::string& program = "corvane-cli") const;

    // Parses a mapfile; on error returns false with error naming the line.
    static bool Parse(const std::string& text, RescueMap& out, std::string& error);

private:
    uint64_t m_size = 0;
    std::vector<MapSpan> m_spans;
};

struct ExportReport;
// Marks what an export report says is on the target: from its first stripe
// to DoneEnd() '+', with its zero-filled ranges '-'.
void ApplyReport(RescueMap& map, const ExportReport& report);

// Replaces path with text so that a reader (or a crash) sees either the old
// file or the whole new one: a temporary file beside it, synced, renamed,
// and the directory synced so the rename itself survives a power cut.
bool SaveFileAtomically(const std::string& path, const std::string& text, std::string& error);

// Reads a whole file; false with error when it cannot be read.
bool LoadFile(const std::string& path, std::string& text, std::string& error);

} // namespace corvane
