// natjoin: what a person at a terminal is told beyond the messages: which defined table a name of
// the join statement may have meant, and, after a successful run, what the join did that they may
// not expect. Nothing here is asked for off a terminal, and nothing here changes a run's output
// or its status.
#ifndef NATJOIN_RUN_RUN_NOTES_H_
#define NATJOIN_RUN_RUN_NOTES_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "f1.h"

namespace natjoin {

// Completes the detail of a join that failed because a table of the statement is not defined (or
// declares no column): the column becomes that of the first byte of its name in statement, and
// where a defined table has the same name but for case, or one edit away (a byte added, left out
// or changed, or two neighbours swapped, case aside), the reason names it.
// REQUIRES: join_tables was parsed from statement, the join statement line, and the join failed
// for the first table of join_tables that column_names does not define.
void explain_undefined_table(std::string_view statement,
                             const std::vector<std::string>& join_tables,
                             const column_names_map& column_names, failure_detail& detail);

}  // namespace natjoin

#endif  // NATJOIN_RUN_RUN_NOTES_H_
