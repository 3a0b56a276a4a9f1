// Array discovery: open and identify every source, then read the RAID
// information table of the first tagged member that has one and resolve
// each slot of the array to the member carrying its disk id.
#include "disk/Text.h"
#include "engine/Context.h"
#include "engine/Errors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace corvane {

namespace {

constexpr uint64_t kRaidPrimary = 0x1841800; // sector 49676
constexpr uint64_t kRaidBackup = 0x1C41000;  // sector 57864
constexpr uint32_t kRaidRecordSize = 2048;
constexpr size_t kEntryOffset = 40;
constexpr size_t kEntrySize = 24;
// Rows 1..63 of the member map take records 1..63; later records have no row.
constexpr unsigned kMaxRaidRecords = kRows - 1;

// Notes are UTF-8; source paths are in the locale's narrow encoding.
std::string Name(const MemberDisk& m)
{
    return JFileHandle::NarrowToUtf8(m.source);
}

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

bool Signed(const uint8_t* record)
{
    return record[0] == 0x60 && record[1] == 0x01;
}

// Reads the next record of a run into buffer. Returns true when a whole
// signed record arrived. A failed read raises code 9. A read that ends at the
// end of the member (nothing or only part of a record) ends the run: the
// buffer is cleared so the partial bytes are never taken for a record.
bool NextRecord(EvaContext& ctx, MemberDisk& m, uint8_t* buffer, uint64_t offset, const char* copy)
{
    std::memset(buffer, 0, kRaidRecordSize);
    uint64_t got = 0;
    m.Read(buffer, kRaidRecordSize, &got, true);
    if (got < kRaidRecordSize) {
        std::memset(buffer, 0, kRaidRecordSize);
        ctx.notes.push_back(Name(m) + ": the " + copy + " RAID information copy runs into the end of the member at " +
                            Hex(offset) + "; the run ends there");
        return false;
    }
    return Signed(buffer);
}

// Reads one copy of the table from the member's current position: the run
// of signed records, at most 63 of them.
void ReadCopy(EvaContext& ctx, MemberDisk& m, uint8_t* buffer, uint64_t start, const char* copy,
              std::vector<std::unique_ptr<RaidInfoRecord>>& out)
{
    uint64_t offset = start;
    bool more = NextRecord(ctx, m, buffer, offset, copy);
    unsigned counter = 1;
    while (more) {
        if (counter > kMaxRaidRecords) {
            ctx.notes.push_back(Name(m) + ": the " + copy + " RAID information copy has more than " +
                                std::to_string(kMaxRaidRecords) +
                                " records; the member map has no rows for the rest, which are ignored");
            break;
        }
        auto record = std::make_unique<RaidInfoRecord>();
        record->number = static_cast<uint8_t>(counter);
        for (size_t i = 0; i < record->entries.size(); ++i)
            std::memcpy(record->entries[i].bytes.data(), buffer + kEntryOffset + kEntrySize * i, kEntrySize);
        record->BuildSlots();
        out.push_back(std::move(record));
        offset += kRaidRecordSize;
        more = NextRecord(ctx, m, buffer, offset, copy);
        ++counter;
    }
}

} // namespace

void RaidInfoRecord::BuildSlots()
{
    unsigned count = static_cast<unsigned>(entries.size());
    while (count > 0 && entries[count - 1].Empty())
        --count;
    slotCount = static_cast<uint8_t>(count);
    slots.clear();
    slots.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        RaidSlot s;
        s.row = number;
        s.column = static_cast<uint8_t>(i);
        if (entries[i].Empty()) {
            s.missing = 1;
            s.diskId = 0;
        } else {
            s.missing = 0;
            s.diskId = entries[i].DiskId();
        }
        slots.push_back(s);
    }
}

void EvaContext::DiscoverArray()
{
    for (const SourceEntry& source : sources) {
        auto member = std::make_unique<MemberDisk>();
        if (!member->OpenSource(source.path))
            Raise(kOpenDeviceFailed, "cannot open " + JFileHandle::NarrowToUtf8(source.path) + ": " + member->problem);
        if (!source.mapfile.empty()) {
            std::string error, note;
            if (!member->UseImagingMap(source.mapfile, error, note))
                Raise(kOpenDeviceFailed, error);
            if (!note.empty())
                notes.push_back(note);
        }
        member->policy = readPolicy;
        member->Identify();
        members.push_back(std::move(member));
    }
    DiscoverFromMembers();
}

void EvaContext::DiscoverFromMembers()
{
    IndexMembersById();
    // A table that fails to read on one member may be whole on the next
    // one that carries it: the failure is given only when none does.
    std::optional<EvaError> readFailure;
    auto tables = [&](MemberDisk& m) {
        const size_t primary = raidInfo.size();
        const size_t second = raidInfoBackup.size();
        try {
            return ReadRaidInfo(m);
        } catch (const EvaError& e) {
            if (e.code() != kReadFailed)
                throw;
            // The map is filled only after both copies were read: only the
            // records need undoing.
            raidInfo.resize(primary);
            raidInfoBackup.resize(second);
            notes.push_back(Name(m) + ": its RAID information cannot be read (" + e.reason() +
                            "); the next member that has the tables is tried");
            if (!readFailure)
                readFailure = e;
            return false;
        }
    };
    for (auto& member : members) {
        if (member->HasMemberTag() && tables(*member)) {
            WarnUnusedSources();
            return;
        }
    }
    // The holder's own first kilobyte may be the bad part: sources that
    // could not be identified are tried last.
    std::string unidentified;
    for (auto& member : members) {
        if (member->identified)
            continue;
        unidentified += (unidentified.empty() ? "" : ", ") + Name(*member);
        if (tables(*member)) {
            notes.push_back("the RAID information was taken from " + Name(*member) +
                            ", whose first kilobyte cannot be read");
            WarnUnusedSources();
            return;
        }
    }
    if (readFailure)
        Raise(kReadFailed, readFailure->reason() + "; no other member holds a readable RAID information table");
    std::string reason = "no tagged member holds a RAID information table at " + Hex(kRaidPrimary);
    if (!unidentified.empty())
        reason += ", nor does any source that could not be identified (" + unidentified +
                  ": its first kilobyte cannot be read)";
    Raise(kNoRaidInfo, reason);
}

void EvaContext::IndexMembersById()
{
    diskById.fill(nullptr);
    for (auto& member : members) {
        MemberDisk* m = member.get();
        // A member whose first kilobyte did not read in full has no known
        // disk id; one of 255 has no cell.
        if (!m->identified || m->diskId >= kDiskIds)
            continue;
        MemberDisk*& cell = diskById[m->diskId];
        // A blank disk or a foreign one may carry a member's id by chance:
        // it never displaces a tagged member. Otherwise the later one wins.
        if (!cell || m->HasMemberTag() || !cell->HasMemberTag())
            cell = m;
    }
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberDisk& m = *members[i];
        if (!m.identified) {
            warnings.push_back({SourceWarning::Kind::Unidentified, i, SourceWarning::kNone, 0,
                                Name(m) + ": its first kilobyte cannot be read (" + m.problem +
                                    "); it carries no member tag and no disk id and holds no slot"});
            continue;
        }
        if (m.diskId >= kDiskIds) {
            notes.push_back(Name(m) + ": disk id " + std::to_string(m.diskId) +
                            " is outside 0..254; the source resolves no slot");
            continue;
        }
        const MemberDisk* holder = diskById[m.diskId];
        if (holder == &m)
            continue;
        size_t other = 0;
        while (members[other].get() != holder)
            ++other;
        const bool tagWins = holder->HasMemberTag() && !m.HasMemberTag();
        warnings.push_back({SourceWarning::Kind::DiskIdCollision, i, other, m.diskId,
                            Name(m) + " carries disk id " + std::to_string(m.diskId) + ", as does " +
                                (tagWins ? "the tagged member " : "the later source ") + Name(*holder) +
                                ", which holds its slots; " + Name(m) + " holds none"});
    }
}

void EvaContext::WarnUnusedSources()
{
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberDisk* m = members[i].get();
        const bool warned = std::any_of(warnings.begin(), warnings.end(),
                                        [&](const SourceWarning& w) { return w.member == i; });
        if (warned)
            continue;
        bool used = false;
        for (const auto& row : memberMap)
            used = used || std::find(row.begin(), row.end(), m) != row.end();
        if (used)
            continue;
        warnings.push_back({SourceWarning::Kind::NoSlot, i, SourceWarning::kNone, m->diskId,
                            Name(*m) + " (disk id " + std::to_string(m->diskId) +
                                ") holds no slot: the RAID information names no slot with its disk id"});
    }
}

bool EvaContext::ReadRaidInfo(MemberDisk& member)
{
    std::vector<uint8_t> buffer(kRaidRecordSize, 0);

    member.Seek(kRaidPrimary);
    const size_t primaryStart = raidInfo.size();
    ReadCopy(*this, member, buffer.data(), kRaidPrimary, "primary", raidInfo);
    if (raidInfo.size() == primaryStart)
        return false;

    member.Seek(kRaidBackup);
    const size_t backupStart = raidInfoBackup.size();
    ReadCopy(*this, member, buffer.data(), kRaidBackup, "second", raidInfoBackup);

    // The second copy only fills slots that are empty in the primary one.
    const size_t n = std::min(raidInfo.size() - primaryStart, raidInfoBackup.size() - backupStart);
    for (size_t k = 0; k < n; ++k) {
        RaidInfoRecord& primary = *raidInfo[primaryStart + k];
        const RaidInfoRecord& second = *raidInfoBackup[backupStart + k];
        const size_t m = std::min(primary.slotCount, second.slotCount);
        for (size_t l = 0; l < m; ++l) {
            if (primary.slots[l].missing == 1 && second.slots[l].missing == 0)
                primary.slots[l] = second.slots[l];
        }
    }

    for (size_t k = primaryStart; k < raidInfo.size(); ++k) {
        for (RaidSlot& slot : raidInfo[k]->slots) {
            if (slot.column >= kColumns) {
                // Entry 15 names a column the member map does not have.
                slot.missing = 1;
                notes.push_back(Name(member) + ": RAID information record " + std::to_string(slot.row) +
                                " names disk id " + std::to_string(slot.diskId) +
                                " in column 15, which no slot has; ignored");
                continue;
            }
            if (slot.missing == 0) {
                MemberDisk* m = slot.diskId < kDiskIds ? diskById[slot.diskId] : nullptr;
                if (m) {
                    memberMap[slot.row][slot.column] = m;
                    continue;
                }
                slot.missing = 1;
            }
            missingSlots.push_back({slot.row, slot.column});
        }
    }
    return true;
}

} // namespace corvane
