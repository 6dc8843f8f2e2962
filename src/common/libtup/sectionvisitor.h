// One section visitor for every receiver of TUP frames: visitSections walks
// an accepted frame with walkSections, decodes each known section with its
// decoder and hands the record to the visitor's handler for that kind. A
// section that brings no record (unknown type, skipped by the walk, refused
// by its decoder) goes to onSectionError instead, so a receiver reports
// those in one place. Every visited section reaches exactly one of the
// typed handlers or onSectionError, in frame order.
//
// The visitor is an interface with empty defaults rather than a struct of
// callbacks: a receiver overrides only the kinds it acts on, `override`
// makes the compiler check each handler's name and record type, and the
// per-frame state a receiver gathers (its result flags, its records) can
// live in the visitor object itself.
//
// Order of the calls for one section:
//   1. onLog for each of the walk's lines about it ("... section length
//      mismatch (28)", "Unknown section type. Skip section", ...);
//   2. the typed handler, or onSectionError;
//   3. onLog("Decode error") when the section brought no record;
//   4. onSectionDone, with the section's notes complete.
// So a receiver that logs a decoder's reason in onSectionError logs it
// before the walk's "Decode error", and the walk's "Payload too short.
// Drop remaining bytes" arrives through onLog alone.
#pragma once

#include "sectiondecoders.h"
#include "sectionwalker.h"
#include "tuprecords.h"
#include "tupwire.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tup
{

class SectionVisitor
{
public:
    virtual ~SectionVisitor() = default;

    virtual void onDevInfo(const section_view_s& section, const devinfo_s& record);
    virtual void onGpioState(const section_view_s& section, const gpiostate_s& record);
    // NetCfg, SnmpCfg and ModbusCfg records arrive with resetcfg false.
    virtual void onNetCfg(const section_view_s& section, const netcfg_s& record);
    virtual void onSnmpCfg(const section_view_s& section, const snmpcfg_s& record);
    virtual void onModbusCfg(const section_view_s& section, const modbuscfg_s& record);
    // The Core section's data items in wire order (possibly none).
    virtual void onCore(const section_view_s& section, const std::vector<core_tmp>& items);

    // A Core section whose items do not fill it exactly: itemsBefore holds
    // the items that fit, before the first one that runs past the section.
    // Returning true takes the section as decoded with those items (onCore
    // follows with them); the default, false, refuses it, and it reaches
    // onSectionError with DecodeStatus::BadItems.
    virtual bool acceptTruncatedCore(const section_view_s& section,
                                     const std::vector<core_tmp>& itemsBefore);

    // A section that brought no record. outcome is Unknown (unknown type),
    // Skipped (longer than the rest of the payload) or DecodeFailed; status
    // is the decoder's reason for DecodeFailed (decodeStatusText gives its
    // words) and DecodeStatus::Ok otherwise.
    virtual void onSectionError(const section_view_s& section, SectionOutcome outcome,
                                DecodeStatus status);

    // The walk's lines, in order, as the receiver logs them.
    virtual void onLog(const std::string& line);

    // The walk is done with the section: section.notes holds all its lines.
    virtual void onSectionDone(const section_view_s& section, SectionOutcome outcome);
};

// Walks frame[0 .. frameSize) (an accepted datagram without its checksum)
// and calls visitor for each section. Returns the number of sections
// visited, as walkSections does.
size_t visitSections(const uint8_t* frame, size_t frameSize, SectionVisitor& visitor);

} // namespace tup
