#include "archive/Qorin2.h"

#include "platform/Desktop.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace velmora {

int FontPointsToPixels(int points) { return (points * 96 + 36) / 72; }

std::string DatiIniPath(const std::string& dir, const std::string& parameterFile) {
  if (parameterFile.empty()) return MapStoredPath(dir + "dati.ini", {});
  return LocalPathFromStored(dir + "dati.ini", parameterFile);
}

ServerLocation ChiediServer(const std::string& dir, const void* /*owner*/, const std::string& parameterFile) {
  const std::string ini = DatiIniPath(dir, parameterFile);
  ServerLocation location;
  location.serverName = ReadProfileString(ini, "CONFIG", "Nome Server");
  location.driveLetter = ReadProfileString(ini, "CONFIG", "Lettera Disco Server");
  if (!location.serverName.empty()) return location;

  CurrentDesktop().ShowMessage("Non trovato dati.ini");
  PromptForm form;
  form.caption = "Non trovato dati.ini";
  form.label =
      "Inserire il nome del computer e la lettera della sua\r\n"
      "unità disco dove risulta ospitato (o sarà ospitato) il database";
  form.fontName = "Arial";
  form.fontPixels = FontPointsToPixels(8);
  form.labelTop -= 10;
  form.edit1.clear();
  CurrentDesktop().ShowPrompt(form);
  if (form.esito == 1) {
    location.serverName = form.edit1;
    location.driveLetter = form.edit2;
    WriteProfileString(ini, "CONFIG", "Nome Server", location.serverName);
    if (!location.driveLetter.empty()) {
      WriteProfileString(ini, "CONFIG", "Lettera Disco Server", location.driveLetter);
    }
  }
  return location;
}

}  // namespace velmora
