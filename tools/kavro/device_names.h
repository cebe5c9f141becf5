// Names the kavro tool accepts for parameters, register targets and filters,
// and the text it prints for parameter values.
#pragma once

#include <string>
#include <vector>

#include "kavro.h"

namespace kavro_cli {

struct param_desc {
    const char *name;
    kavro_dev_param_e id;
    int len;        // bytes of the value
    bool settable;  // one unsigned number the tool can write
    const char *unit;   // unit of the value, or what it holds
    const char *range;  // values the camera takes (settable) or what is read
};

/// Every parameter the tool knows, in identifier order.
const std::vector<param_desc> &param_table();
const param_desc *param_find(const std::string &name);
/// One line per parameter with its unit and range, for `params --help`.
std::string param_help();
/// The value of `item` as text ("intg_time: 1000").
std::string param_format(const param_desc &d, const kavro_param_item_t &item);
/// Fills `item` from a number; false when out of range for the parameter.
bool param_fill(const param_desc &d, unsigned long long value, kavro_param_item_t *item);

/// Register target by name (cam0, cam1, ir0, ir1, mcu); false when unknown.
bool reg_target_parse(const std::string &name, kavro_dev_reg_e *out);

/// Filter by name (median, amp, ...); false when unknown.
bool filter_parse(const std::string &name, kavro_filter_id_e *out);
/// The filter argument from its text, in the member the filter reads: one
/// number, or for hdr "INTG,HDR_INTG" (microseconds); empty means 0. False
/// when the text is not such a value.
bool filter_arg(kavro_filter_id_e fid, const std::string &text, kavro_filter_args_u *out);
/// Names of all filters, for help texts.
std::string filter_names();

}  // namespace kavro_cli
