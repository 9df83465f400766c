// The report as a table for people or as one JSON document for the panel.
#ifndef VELKA_AUTHCHECK_REPORT_OUTPUT_H
#define VELKA_AUTHCHECK_REPORT_OUTPUT_H

#include "authcheck/check_result.h"

#include <ostream>

namespace velka::authcheck {

void printTable(std::ostream &out, const Results &results);
void printJson(std::ostream &out, const Results &results);

} // namespace velka::authcheck

#endif
