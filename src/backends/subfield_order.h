#pragma once

#include <string>
#include <vector>

namespace z39 {

// The subfield order table: rows "tag" + "code" + order number ("200a1").
const std::vector<std::string>& SubfieldOrderTable();

// Order key of a subfield: the table's order number as two digits ("99" when there is
// no row) and "1" for an upper-case code A-Z, else "0". An empty tag or code gives "999".
std::string GetMarcSubFieldOrder(const std::string& tag, const std::string& code);

}  // namespace z39
