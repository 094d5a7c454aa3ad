#pragma once

#include "host/presenters/PresenterTypes.hpp"

namespace velorinth {

// The dashboard's dates and grouped numbers in the user's locale
// (QLocale::system()): the long time format without its time-zone fields,
// the short date and time, the locale's grouping.
DisplayFormats systemLocaleFormats();

} // namespace velorinth
