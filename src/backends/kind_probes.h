#pragma once

#include "backends/target_probe.h"

namespace z39 {

// A Z39.50 server through the external client: the Init answer, whether it asks for a
// user name, a record of its own and its character set, the form's fields as Bib-1 use
// attributes, whether a Chinese term is read as GBK or UTF-8, and the record syntaxes it
// gives.
void ProbeZ39Target(const ProbeContext& context, const TargetProfile& target, ProbeReport& report);

// An SRU server: its explain record (indexes, schemas), then the ISBN and title indexes.
void ProbeSruTarget(const ProbeContext& context, const TargetProfile& target, ProbeReport& report);

// The shared catalogue: its host from /hosts.txt when the port asks for it, and the
// connection to it.
void ProbeSharedCatalogue(const ProbeContext& context, const TargetProfile& target,
                          ProbeReport& report);

// The web OPAC: the connection to the host of its address (the search that follows goes
// through its start page and form).
void ProbeWebOpac(const ProbeContext& context, const TargetProfile& target, ProbeReport& report);

}  // namespace z39
