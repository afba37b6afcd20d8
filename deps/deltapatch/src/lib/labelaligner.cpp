#include "labelaligner.h"

#include <algorithm>

#include "bytediff.h"
#include "disassembledprogram.h"
#include "streams.h"

namespace deltapatch {

namespace {

const uint64_t kMaxEntries = uint64_t(1) << 40;

// A reference of a program at its place in the element.
struct Reference
{
    uint64_t offset;
    uint32_t kind; // REL32 (ARM ones too) or ABS32
    int32_t index;
};

typedef GrowableBuffer<Reference, 64, kMaxEntries> ReferenceList;
typedef GrowableBuffer<uint64_t, 64, kMaxEntries> KeyList;

bool ByOffset(const Reference& a, const Reference& b)
{
    return a.offset < b.offset;
}

// Walks the instructions with the element offset of each. Byte runs and ARM
// branches carry pointers into the element and set the offset afresh; a
// relocation table stands for bytes of unknown count, so references after
// it are left out until the next pointer.
bool CollectReferences(const DisassembledProgram& program, const uint8_t* start, ReferenceList* references)
{
    uint64_t offset = 0;
    bool known = true;
    for (uint64_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction* instruction = program.instruction(i);
        switch (instruction->kind()) {
        case DEFBYTE: offset += 1; break;
        case DEFBYTES: {
            const BytesInstruction* run = static_cast<const BytesInstruction*>(instruction);
            offset = static_cast<uint64_t>(run->bytes() - start) + run->length();
            known = true;
            break;
        }
        case REL32:
        case ABS32: {
            const int32_t index = static_cast<const LabelInstruction*>(instruction)->label()->index;
            if (known && index >= 0 && !references->push_back({offset, instruction->kind(), index}))
                return false;
            offset += 4;
            break;
        }
        case REL32ARM: {
            const ArmRel32Instruction* arm = static_cast<const ArmRel32Instruction*>(instruction);
            offset = static_cast<uint64_t>(arm->bytes() - start);
            known = true;
            if (arm->label()->index >= 0 && !references->push_back({offset, REL32, arm->label()->index}))
                return false;
            offset += arm->opSize();
            break;
        }
        case MAKEPERELOCS:
        case MAKEELFRELOCS:
        case MAKEELFARMRELOCS: known = false; break;
        default: break;
        }
    }
    std::stable_sort(references->data(), references->data() + references->size(), ByOffset);
    return true;
}

// The old reference of the same kind at the place that the runs line up
// with a new element offset, or null.
const Reference* Counterpart(const Reference& fresh, const ElementPlace& newerPlace, const ElementPlace& olderPlace,
                             const AlignedRun* runs, uint64_t runCount, const ReferenceList& older)
{
    const uint64_t place = newerPlace.offset + fresh.offset;
    const AlignedRun* run = std::upper_bound(runs, runs + runCount, place,
                                             [](uint64_t value, const AlignedRun& r) { return value < r.newStart; });
    if (run == runs)
        return nullptr;
    --run;
    if (place - run->newStart >= run->length)
        return nullptr;
    const uint64_t oldPlace = run->oldStart + (place - run->newStart);
    if (oldPlace < olderPlace.offset)
        return nullptr;
    const uint64_t oldOffset = oldPlace - olderPlace.offset;
    const Reference* begin = older.data();
    const Reference* end = begin + older.size();
    const Reference* found =
        std::lower_bound(begin, end, oldOffset, [](const Reference& r, uint64_t value) { return r.offset < value; });
    if (found == end || found->offset != oldOffset || found->kind != fresh.kind)
        return nullptr;
    return found;
}

// One candidate pair of labels and how many references voted for it.
struct Candidate
{
    uint64_t votes;
    uint32_t newId;
    uint32_t oldIndex;
};

bool ByVotes(const Candidate& a, const Candidate& b)
{
    if (a.votes != b.votes)
        return a.votes > b.votes;
    if (a.newId != b.newId)
        return a.newId < b.newId;
    return a.oldIndex < b.oldIndex;
}

// Ids of the labels of one map: their present indexes, which the
// disassembler gave in address order.
bool LabelsById(const RVAToLabel& labels, GrowableBuffer<Label*, 64, kMaxEntries>* byId)
{
    for (RVAToLabel::const_iterator it = labels.begin(); it != labels.end(); ++it) {
        const int32_t id = it->second->index;
        if (id < 0)
            continue;
        while (byId->size() <= static_cast<uint64_t>(id)) {
            if (!byId->push_back(nullptr))
                return false;
        }
        (*byId)[static_cast<uint64_t>(id)] = it->second;
    }
    return true;
}

// The pairs chosen for one kind of label, strongest first, each label of
// either side in at most one pair; written as (new id, old index) keys.
bool ChooseLabelPairs(KeyList* votes, KeyList* chosen)
{
    uint64_t* keys = votes->data();
    std::sort(keys, keys + votes->size());
    GrowableBuffer<Candidate, 64, kMaxEntries> candidates;
    uint32_t maxNew = 0;
    uint32_t maxOld = 0;
    for (uint64_t i = 0; i < votes->size();) {
        uint64_t j = i;
        while (j < votes->size() && keys[j] == keys[i])
            ++j;
        const Candidate c = {j - i, static_cast<uint32_t>(keys[i] >> 32), static_cast<uint32_t>(keys[i])};
        if (!candidates.push_back(c))
            return false;
        maxNew = std::max(maxNew, c.newId);
        maxOld = std::max(maxOld, c.oldIndex);
        i = j;
    }
    if (candidates.empty())
        return true;
    std::sort(candidates.data(), candidates.data() + candidates.size(), ByVotes);
    GrowableBuffer<uint8_t, 256, kMaxEntries> newTaken;
    GrowableBuffer<uint8_t, 256, kMaxEntries> oldTaken;
    const uint8_t zero = 0;
    for (uint64_t i = 0; i <= maxNew; ++i) {
        if (!newTaken.push_back(zero))
            return false;
    }
    for (uint64_t i = 0; i <= maxOld; ++i) {
        if (!oldTaken.push_back(zero))
            return false;
    }
    for (uint64_t i = 0; i < candidates.size(); ++i) {
        const Candidate& c = candidates[i];
        if (newTaken[c.newId] || oldTaken[c.oldIndex])
            continue;
        newTaken[c.newId] = 1;
        oldTaken[c.oldIndex] = 1;
        if (!chosen->push_back((uint64_t(c.newId) << 32) | c.oldIndex))
            return false;
    }
    return true;
}

// The indexes of both maps in map order, abs32 first, so that a failed
// alignment can leave the program as it was.
bool SaveIndexes(const DisassembledProgram& program, GrowableBuffer<int32_t, 64, kMaxEntries>* indexes)
{
    for (const RVAToLabel* labels : {&program.abs32Labels(), &program.rel32Labels()}) {
        for (RVAToLabel::const_iterator it = labels->begin(); it != labels->end(); ++it) {
            if (!indexes->push_back(it->second->index))
                return false;
        }
    }
    return true;
}

void RestoreIndexes(const GrowableBuffer<int32_t, 64, kMaxEntries>& indexes, DisassembledProgram* program)
{
    uint64_t i = 0;
    for (const RVAToLabel* labels : {&program->abs32Labels(), &program->rel32Labels()}) {
        for (RVAToLabel::const_iterator it = labels->begin(); it != labels->end(); ++it)
            it->second->index = indexes[i++];
    }
}

} // namespace

bool ReadAlignedRuns(const uint8_t* stage, size_t length, AlignedRunList* runs)
{
    runs->reset();
    ReadStream in(stage, length);
    uint8_t method = 0;
    uint32_t size = 0;
    uint32_t controlLength = 0;
    uint32_t differenceLength = 0;
    uint32_t extraLength = 0;
    ReadStream control;
    if (!in.Read(&method, 1) || method != kDiffPlain || !in.ReadVarint32(&size) || !in.ReadVarint32(&controlLength)
        || !in.ReadVarint32(&differenceLength) || !in.ReadVarint32(&extraLength)
        || !in.ReadSubstream(controlLength, &control))
        return false;
    int64_t oldPosition = 0;
    uint64_t newPosition = 0;
    while (!control.Consumed()) {
        int32_t a = 0;
        int32_t b = 0;
        int32_t c = 0;
        if (!control.ReadVarint32Signed(&a) || !control.ReadVarint32Signed(&b) || !control.ReadVarint32Signed(&c)
            || a < 0 || b < 0)
            return false;
        if (a > 0 && oldPosition >= 0
            && !runs->push_back({newPosition, static_cast<uint64_t>(oldPosition), uint64_t(a)}))
            return false;
        newPosition += uint64_t(a) + uint64_t(b);
        oldPosition += int64_t(a) + c;
    }
    return true;
}

bool AlignLabels(const DisassembledProgram& older, const ElementPlace& olderPlace, DisassembledProgram* newer,
                 const ElementPlace& newerPlace, const AlignedRun* runs, uint64_t runCount)
{
    ReferenceList oldReferences;
    ReferenceList newReferences;
    if (!CollectReferences(older, olderPlace.start, &oldReferences)
        || !CollectReferences(*newer, newerPlace.start, &newReferences))
        return false;

    KeyList rel32Votes;
    KeyList abs32Votes;
    for (uint64_t i = 0; i < newReferences.size(); ++i) {
        const Reference& fresh = newReferences[i];
        const Reference* old = Counterpart(fresh, newerPlace, olderPlace, runs, runCount, oldReferences);
        if (!old)
            continue;
        const uint64_t key = (uint64_t(uint32_t(fresh.index)) << 32) | uint32_t(old->index);
        if (!(fresh.kind == ABS32 ? abs32Votes : rel32Votes).push_back(key))
            return false;
    }

    KeyList rel32Pairs;
    KeyList abs32Pairs;
    GrowableBuffer<Label*, 64, kMaxEntries> rel32ById;
    GrowableBuffer<Label*, 64, kMaxEntries> abs32ById;
    if (!ChooseLabelPairs(&rel32Votes, &rel32Pairs) || !ChooseLabelPairs(&abs32Votes, &abs32Pairs)
        || !LabelsById(newer->rel32Labels(), &rel32ById) || !LabelsById(newer->abs32Labels(), &abs32ById))
        return false;

    GrowableBuffer<int32_t, 64, kMaxEntries> before;
    if (!SaveIndexes(*newer, &before))
        return false;
    newer->UnassignIndexes();
    const KeyList* pairs[2] = {&rel32Pairs, &abs32Pairs};
    GrowableBuffer<Label*, 64, kMaxEntries>* byId[2] = {&rel32ById, &abs32ById};
    for (int kind = 0; kind < 2; ++kind) {
        for (uint64_t i = 0; i < pairs[kind]->size(); ++i) {
            const uint64_t key = (*pairs[kind])[i];
            const uint64_t id = key >> 32;
            if (id < byId[kind]->size() && (*byId[kind])[id])
                (*byId[kind])[id]->index = static_cast<int32_t>(uint32_t(key));
        }
    }
    if (!newer->AssignRemainingIndexes()) {
        RestoreIndexes(before, newer);
        return false;
    }
    return true;
}

} // namespace deltapatch
