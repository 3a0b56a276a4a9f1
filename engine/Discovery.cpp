// Array discovery: open and identify every source, then read the RAID
// information table of the first tagged member that has one and resolve
// each slot of the array to the member carrying its disk id.
#include "disk/Text.h"
#include "engine/Address.h"
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

bool Signed(const uint8_t* record)
{
    return record[0] == 0x60 && record[1] == 0x01;
}

// One 2048-byte record of a copy as read. Discovery uses its signature
// (bytes 0-1) and its entries (bytes 40-423); the other bytes may fail to
// read at no loss.
struct RecordRead {
    uint64_t offset = 0;
    std::array<uint8_t, kRaidRecordSize> bytes{};
    JFileHandle::ExtentSet unreadable; // record offsets that did not read
    JFileHandle::ExtentSet lacking;    // those of them discovery uses
    bool cut = false;                  // the member ends inside the record
    std::string reason;                // why they did not read
    bool SignatureRead() const { return !lacking.Intersects(0, 2); }
    bool IsSigned() const { return Signed(bytes.data()); }
};

const JFileHandle::ExtentSet kUsedBytes{{0, 2}, {kEntryOffset, kEntrySize * 16}};

// Reads the record at offset; position ends up after it.
RecordRead ReadRecord(MemberDisk& m, uint64_t offset)
{
    RecordRead r;
    r.offset = offset;
    m.position = offset;
    const JFileHandle::ReadOutcome got = m.ReadRanges(r.bytes.data(), kRaidRecordSize);
    m.position = offset + kRaidRecordSize;
    r.cut = got.endOfSource < offset + kRaidRecordSize;
    r.unreadable = got.unreadable.Relative(offset, kRaidRecordSize);
    for (const JFileHandle::Extent& e : kUsedBytes)
        r.lacking.Add(r.unreadable.Within(e.offset, e.length));
    if (!r.unreadable.Empty())
        r.reason = got.lastError.err ? std::strerror(got.lastError.err) : "the member ends there";
    return r;
}

// "0x1842000 (+2048): Input/output error": what of a record did not read.
std::string Where(const RecordRead& r)
{
    return DescribeRanges(r.unreadable, r.offset) + ": " + r.reason;
}

void AppendRecord(const RecordRead& rec, unsigned counter, std::vector<std::unique_ptr<RaidInfoRecord>>& out)
{
    auto record = std::make_unique<RaidInfoRecord>();
    record->number = static_cast<uint8_t>(counter);
    for (size_t i = 0; i < record->entries.size(); ++i)
        std::memcpy(record->entries[i].bytes.data(), rec.bytes.data() + kEntryOffset + kEntrySize * i, kEntrySize);
    record->BuildSlots();
    out.push_back(std::move(record));
}

void NoteRunEnd(EvaContext& ctx, const MemberDisk& m, const char* copy, uint64_t offset)
{
    ctx.notes.push_back(Name(m) + ": the " + copy + " RAID information copy runs into the end of the member at " +
                        Hex(offset) + "; the run ends there");
}

void NoteTooMany(EvaContext& ctx, const MemberDisk& m, const char* copy)
{
    ctx.notes.push_back(Name(m) + ": the " + copy + " RAID information copy has more than " +
                        std::to_string(kMaxRaidRecords) +
                        " records; the member map has no rows for the rest, which are ignored");
}

// The primary copy: the run of signed records from kRaidPrimary, at most
// 63 of them. Both copies hold the same table, so what a primary record
// does not give is taken from the same place in the second copy. A record
// that cannot be read, and that the second copy does not show to be one,
// ends the run (noted); the first one cannot, lest a table pass for none.
void ReadPrimary(EvaContext& ctx, MemberDisk& m, std::vector<std::unique_ptr<RaidInfoRecord>>& out)
{
    for (unsigned counter = 1;; ++counter) {
        const uint64_t offset = kRaidPrimary + (counter - 1) * static_cast<uint64_t>(kRaidRecordSize);
        RecordRead rec = ReadRecord(m, offset);
        if (rec.cut) {
            NoteRunEnd(ctx, m, "primary", offset);
            return;
        }
        if (counter > kMaxRaidRecords) {
            // Never used: only whether it is signed matters, for the note.
            if (rec.SignatureRead() && rec.IsSigned())
                NoteTooMany(ctx, m, "primary");
            return;
        }
        const bool ends = rec.SignatureRead() && !rec.IsSigned();
        if (!rec.lacking.Empty() && !ends) {
            const uint64_t twinAt = kRaidBackup + (offset - kRaidPrimary);
            const RecordRead twin = ReadRecord(m, twinAt);
            m.position = offset + kRaidRecordSize;
            const bool twinSigned = !twin.cut && twin.SignatureRead() && twin.IsSigned();
            bool fills = twinSigned;
            for (const JFileHandle::Extent& e : rec.lacking)
                fills = fills && !twin.lacking.Intersects(e.offset, e.length);
            const std::string record = Name(m) + ": record " + std::to_string(counter) +
                                       " of the primary RAID information copy";
            const std::string twinAtText =
                Hex(twinAt) + (twin.unreadable.Empty() ? std::string() : " (" + Where(twin) + ")");
            if (fills) {
                for (const JFileHandle::Extent& e : rec.lacking)
                    std::memcpy(rec.bytes.data() + e.offset, twin.bytes.data() + e.offset, e.length);
                ctx.notes.push_back(record + " cannot be read at " + Where(rec) +
                                    "; the bytes it lacks are taken from the same place in the second copy, at " +
                                    Hex(twinAt));
            } else if (twinSigned || rec.SignatureRead()) {
                Raise(kReadFailed, record + " cannot be read at " + Where(rec) +
                                       "; nor can the same place in the second copy stand in for it, at " + twinAtText);
            } else if (counter == 1) {
                Raise(kReadFailed, record + " cannot be read at " + Where(rec) +
                                       ", so whether the member holds the table is not known, and the second copy "
                                       "shows no record at " +
                                       twinAtText + " to stand in for it");
            } else {
                ctx.notes.push_back(Name(m) + ": the record after record " + std::to_string(counter - 1) +
                                    " of the primary RAID information copy cannot be read at " + Where(rec) +
                                    ", and the second copy shows no record at " + twinAtText +
                                    "; the run ends after record " + std::to_string(counter - 1));
                return;
            }
        }
        if (!rec.IsSigned())
            return;
        AppendRecord(rec, counter, out);
    }
}

// The second copy from kRaidBackup. It only fills entries that are empty in
// the primary copy, so a record of it that cannot be read leaves the whole
// copy unused (noted) rather than failing the table.
void ReadSecond(EvaContext& ctx, MemberDisk& m, std::vector<std::unique_ptr<RaidInfoRecord>>& out)
{
    const size_t start = out.size();
    for (unsigned counter = 1;; ++counter) {
        const uint64_t offset = kRaidBackup + (counter - 1) * static_cast<uint64_t>(kRaidRecordSize);
        const RecordRead rec = ReadRecord(m, offset);
        if (rec.cut) {
            NoteRunEnd(ctx, m, "second", offset);
            return;
        }
        if (rec.SignatureRead() && !rec.IsSigned())
            return;
        if (counter > kMaxRaidRecords) {
            if (rec.SignatureRead())
                NoteTooMany(ctx, m, "second");
            return;
        }
        if (!rec.lacking.Empty()) {
            ctx.notes.push_back(Name(m) + ": record " + std::to_string(counter) +
                                " of the second RAID information copy cannot be read at " + Where(rec) +
                                "; the second copy only fills empty entries of the primary one and is left unused");
            out.resize(start);
            return;
        }
        AppendRecord(rec, counter, out);
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
    member.Seek(kRaidPrimary);
    const size_t primaryStart = raidInfo.size();
    ReadPrimary(*this, member, raidInfo);
    if (raidInfo.size() == primaryStart)
        return false;

    member.Seek(kRaidBackup);
    const size_t backupStart = raidInfoBackup.size();
    ReadSecond(*this, member, raidInfoBackup);

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
