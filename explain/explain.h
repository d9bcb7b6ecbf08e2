// velmora-explain: what velmora reads from a pair of data files, how, and where
// their difference comes from.
//
// explainPair() runs the comparison the way velmora runs it, through the same
// control-file statements, the same loadDataFile and the same sum, with a
// sink of its own noting what the loader saw. What it never does:
//   - create, change or delete a file: the control file and the data files are
//     opened read-only, and a file velmora would create (a missing one) is not
//     created; its fate is predicted instead (see predictOpen);
//   - disagree with velmora: the result line is formatResultLine of the same
//     total, and where velmora stops, the stop is the same two lines, made by
//     the same fatal funnel.
// Memory: the reference's scaled column 2 (kMaxRows doubles), and per file
// five columns of kMaxRows (each row's first and last line, its three values
// as read), allocated once and touched only where rows are stored; besides
// them only the top-N list grows, and every square when the picture asks.
//
// The report (text or JSON) holds the same facts; writeJsonReport documents
// the JSON fields.
#pragma once
#pragma once

#include "explain/facts.h"
#include "explain/findings.h"
#include "explain/report.h"
