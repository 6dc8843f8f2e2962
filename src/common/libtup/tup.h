// libtup: the TUP frame format, written once for tupsend, tupwatch and the
// kiosk's receiver. Plain C++17, no Qt. Everything is in namespace tup.
//
//   tupwire.h         constants, section types and the packed wire records
//                     (tup_frame_s, tupv1_header_s, tupv1_section_s,
//                     tupv1_devinfo_s, tupv1_gpiostate_s, tupv1_netcfg_s,
//                     tupv1_snmpcfg_s, tupv1_modbuscfg_s, tupv1_coreitem_s)
//   tuprecords.h      decoded records devinfo_s, gpiostate_s, netcfg_s,
//                     snmpcfg_s, modbuscfg_s, core_tmp (IPv4 as host-order
//                     numbers, texts as std::string, Core data MSB first)
//   crc16.h           crc16(poly, init, data, size); TUP uses 0x1021, 0
//   tupbytes.h        bounded little-endian readers, iptoint, IPv4 and hex text
//   snmpcodes.h       SNMP version/hash/cipher code <-> text tables
//   framebuilder.h    FrameBuilder: sections in order, header and checksum
//                     overrides for bad frames; encode* for single sections
//   framecheck.h      checkFrame: the receiver's ten checks with its exact
//                     messages; acceptFrame/detachSender update link_state_s
//   sectionwalker.h   walkSections: the receiver's section walk, bounded by
//                     the datagram, calling a decoder per known section
//   sectiondecoders.h decodeDevInfo .. decodeCore over (section bytes, size)
//   sectionvisitor.h  SectionVisitor, visitSections: the walk with each known
//                     section decoded and handed to one handler per kind,
//                     sections without a record to onSectionError
//   tuptime.h         header timestamps and UTC text from 64-bit seconds
//
// Receiving one datagram:
//   tup::frame_check_s c = tup::checkFrame(data, size, sender, state);
//   for (auto& line : c.log) log(line);
//   if (!c.accepted()) return;                       // dropped, state untouched
//   struct Receiver : tup::SectionVisitor {
//       void onGpioState(const tup::section_view_s&, const tup::gpiostate_s& g) override;
//       void onLog(const std::string& line) override { log(line); }
//   } receiver;
//   tup::visitSections(data, c.frameSize, receiver);
//   bool firstContact = tup::acceptFrame(state, sender, c);
#pragma once

#include "crc16.h"
#include "framebuilder.h"
#include "framecheck.h"
#include "sectiondecoders.h"
#include "sectionvisitor.h"
#include "sectionwalker.h"
#include "snmpcodes.h"
#include "tupbytes.h"
#include "tuprecords.h"
#include "tuptime.h"
#include "tupwire.h"
