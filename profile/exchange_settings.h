#pragma once
// The logger files and the texts a clear puts into the QSO fields (section Qor_Cw). UTF-8.
#include <string>

namespace telkey {

struct ExchangeSettings {
    std::string ExternIniFile = "brixo.ini";
    std::string ExternIniSection = "QSO";
    std::string ExportIniFile = "loginput.ini";
    std::string ExportIniSection = "QSO";
    std::string CallOnClear;
    std::string RSTOnClear = "599";
    std::string NameOnClear = "om";
    std::string OtherOnClear;
};

}  // namespace telkey
