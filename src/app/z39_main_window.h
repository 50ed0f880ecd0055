#pragma once

#include <QMainWindow>

#include "app/app_state.h"

namespace z39 {

// The frame of the application (TZ39Main).
class TZ39Main : public QMainWindow {
    Q_OBJECT
public:
    TZ39Main(AppState& state, bool compactWindow, QWidget* parent = nullptr);

private:
    AppState& state_;
};

}  // namespace z39
