// The status light's enumerations and its two colour tables: each off colour is the dark shade
// of the on colour at the same position, which is what lets one colour choose its partner.
#pragma once

#include <QObject>
#include <QRgb>

namespace config {
Q_NAMESPACE

enum TLedOnColors { lcSilver, lcRed, lcLime, lcYellow, lcBlue, lcFuchsia, lcAqua, lcWhite };
Q_ENUM_NS(TLedOnColors)

enum TLedOffColors { lcBlack, lcMaroon, lcGreen, lcOlive, lcNavy, lcPurple, lcTeal, lcGray };
Q_ENUM_NS(TLedOffColors)

enum TLedStatus { lsOff, lsOn };
Q_ENUM_NS(TLedStatus)

enum TLedType { ltIn, ltOut };
Q_ENUM_NS(TLedType)

inline constexpr QRgb kLedOnColors[] = {
    qRgb(192, 192, 192), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
};

inline constexpr QRgb kLedOffColors[] = {
    qRgb(0, 0, 0),   qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128), qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(128, 128, 128),
};

}  // namespace config
