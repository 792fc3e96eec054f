// The wording of a settings-folder failure ("A1"), as a plain function so
// that code without a controller (the --diagnose report) words it the same.
#pragma once

#include <string>

// "Corvantis can't reach its settings folder (<where>): <reason>." <where>
// is CVConfDir() resolved afresh, a leading $HOME written "~" (whole
// components only) and made displayable (DisplayText, kDisplayPathMax), or "~/Corvantis" when no path resolves. <reason> is
// "its location isn't an absolute path" for EINVAL while no path resolves,
// else strerror(err), EIO's text standing in for 0. Reads HOME from
// cv::CurrentEnv() and the settings folder from CVConfDir; changes nothing.
std::string CVConfErrorText(int err);
