#include "engine_state.h"

QString EngineState::debugText() const {
    switch (kind_) {
        case Kind::Stopped:
            return QStringLiteral("stopped");
        case Kind::Running:
            return QStringLiteral("running");
        case Kind::Failed:
            return QStringLiteral("failed: ") + message_;
        case Kind::Missing:
            return QStringLiteral("missing");
    }
    return {};
}
