#pragma once

#include <string>
#include <string_view>

// A person's name for the phone behind a browser's User-Agent: the device,
// then the browser, e.g. "iPhone · Safari", "Android · Chrome". Parts it
// cannot tell read "Phone" and "Browser"; browsers that carry another's name
// too (Chrome on iOS says Safari, Edge says Chrome) are named as themselves.
std::string phoneName(std::string_view userAgent);
