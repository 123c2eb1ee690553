// The server-location prompt: ChiediServer reads the server name and drive
// letter from "dati.ini" or asks for them through the current desktop (the
// FLTK dialog TQorIn2Form of window/WindowDesktop.h when the program installed
// it).
#pragma once

#include <string>

#include "platform/Desktop.h"

namespace velmora {

// What ChiediServer found or was given; either text may be empty.
struct ServerLocation {
  std::string serverName;
  std::string driveLetter;
};

// Reads "Nome Server" and "Lettera Disco Server" of section "CONFIG" in
// dir + "dati.ini". When the server name is empty: shows "Non trovato
// dati.ini", then the prompt (through CurrentDesktop()); after OK stores
// "Nome Server" (even when empty) and, when given, "Lettera Disco Server",
// and returns the typed texts unchanged; after Cancel or closing, writes
// nothing and returns an empty server name with the drive letter read from
// the file. `owner` is accepted for callers that own windows; the dialog is
// released before returning, so it never outlives the call.
// `dir` is the directory as stored (it may be a UNC text); "dati.ini" is read
// and written at DatiIniPath(dir, parameterFile).
// Raises EIniFileException "Unable to write to %s" when "dati.ini" cannot be
// written.
ServerLocation ChiediServer(const std::string& dir, const void* owner = nullptr,
                            const std::string& parameterFile = "");

// The local file behind dir + "dati.ini": the text mapped with the prefixes of
// section "PERCORSI" of `parameterFile` (none when it is empty), then "\"
// turned into "/" (see MapStoredPath).
std::string DatiIniPath(const std::string& dir, const std::string& parameterFile);

// The pixel height of a font of `points` points on a 96 dpi screen.
int FontPointsToPixels(int points);

}  // namespace velmora
