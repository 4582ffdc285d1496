#pragma once

#include "platform/EncoderSession.h"

#include <QStringList>

// The sessions behind LinuxEncoderServices.

// TurboJPEG quality for a session quality in 0..1; `kDefaultJpegQuality` until one is set.
constexpr int kDefaultJpegQuality = 80;
int jpegQualityFor(double sessionQuality);

std::unique_ptr<EncoderSession> createJpegSession(int width, int height,
                                                  EncoderSession::OutputCallback callback, OptError* error);

// `encoders` are libavcodec encoder names tried in order; the first that opens is used.
std::unique_ptr<EncoderSession> createH264Session(int width, int height, const QStringList& encoders,
                                                  EncoderSession::OutputCallback callback, OptError* error);

// The hardware H.264 encoders libavcodec may offer, in the order they are tried.
const QStringList& hardwareH264Encoders();
inline const QString kSoftwareH264Encoder = QStringLiteral("libx264");
// Whether the named encoder opens on this machine (tried once, then remembered).
bool h264EncoderOpens(const QString& name);
