// Offset tables (core::OffsetTable) of the time zones pandas resolves zone
// texts to, read from the same zone files the zone objects read.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "../core/wall_to_utc.hpp"

namespace orvane::glue {

namespace py = pybind11;

// The table of the zone pandas resolves `zone` (a text) to, or null when that
// zone is of a kind the table does not describe: a zone that is neither a
// fixed whole-second offset nor a zone-file zone of the standard library, or
// a zone file the table cannot hold. A text that names no zone raises pandas'
// own error. Tables are kept for the process by zone text, as the zone
// objects themselves are.
std::shared_ptr<const core::OffsetTable> zone_offset_table(const std::string& zone);

// The records of a TZif zone file as the standard library's zone loader reads
// them: (transition types, UTC transition seconds, type offsets, type summer
// flags, type names, POSIX rule or None). The loader has no public reader, so
// its private one is used here alone and its shape checked: a loader that
// changed shape raises RuntimeError rather than giving a wrong table.
py::tuple tzif_records(py::handle file);

}  // namespace orvane::glue
