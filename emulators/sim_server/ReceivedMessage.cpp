#include "emulators/sim_server/ReceivedMessage.h"

namespace simemu {

const char* protocolName(Protocol p) {
    return p == Protocol::Sim ? "SIM" : "APP";
}

const char* kindName(MessageKind k) {
    switch (k) {
        case MessageKind::SimVersionRequest:
            return "SimVersionRequest";
        case MessageKind::SimInputSubscription:
            return "SimInputSubscription";
        case MessageKind::SimInputUnsubscription:
            return "SimInputUnsubscription";
        case MessageKind::SimOutputRegistration:
            return "SimOutputRegistration";
        case MessageKind::SimOutputUnregistration:
            return "SimOutputUnregistration";
        case MessageKind::SimPublish:
            return "SimPublish";
        case MessageKind::SimUnknown:
            return "SimUnknown";
        case MessageKind::AppFlowControl:
            return "AppFlowControl";
        case MessageKind::AppEventSubscription:
            return "AppEventSubscription";
        case MessageKind::AppScenarioListRequest:
            return "AppScenarioListRequest";
        case MessageKind::AppVersionRequest:
            return "AppVersionRequest";
        case MessageKind::AppInputSubscription:
            return "AppInputSubscription";
        case MessageKind::AppInputUnsubscription:
            return "AppInputUnsubscription";
        case MessageKind::AppOutputRegistration:
            return "AppOutputRegistration";
        case MessageKind::AppOutputUnregistration:
            return "AppOutputUnregistration";
        case MessageKind::AppPublish:
            return "AppPublish";
        case MessageKind::AppSignal:
            return "AppSignal";
        case MessageKind::AppRunScenario:
            return "AppRunScenario";
        case MessageKind::AppLoadScenario:
            return "AppLoadScenario";
        case MessageKind::AppStartLoaded:
            return "AppStartLoaded";
        case MessageKind::AppStopScenario:
            return "AppStopScenario";
        case MessageKind::AppPause:
            return "AppPause";
        case MessageKind::AppChangeSpeed:
            return "AppChangeSpeed";
        case MessageKind::AppDelivery:
            return "AppDelivery";
        case MessageKind::AppAdministerDrug:
            return "AppAdministerDrug";
        case MessageKind::AppResetDrug:
            return "AppResetDrug";
        case MessageKind::AppBookmark:
            return "AppBookmark";
        case MessageKind::AppRewind:
            return "AppRewind";
        case MessageKind::AppSave:
            return "AppSave";
        case MessageKind::AppRelayCalibration:
            return "AppRelayCalibration";
        case MessageKind::AppUnknown:
            return "AppUnknown";
    }
    return "?";
}

}  // namespace simemu
