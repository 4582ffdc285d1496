#pragma once

#include "platform/Alerts.h"

// Alerts as application-modal message boxes.
class QtAlerts final : public Alerts {
public:
    int runModal(const Alert& alert) override;
};
