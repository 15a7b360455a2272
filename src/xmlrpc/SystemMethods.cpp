#include "xmlrpc/SystemMethods.h"

namespace {

using V = XmlRpcValue;

const int kIdTypes[] = {V::TypeString};
const XmlRpcParamLayout kIdOnly = {kIdTypes, 1, 1, 0};
const int kInfoTypes[] = {V::TypeString, V::TypeString, V::TypeString};
const XmlRpcParamLayout kInfoLayout = {kInfoTypes, 3, 3, 0};

const int kWavTypes[] = {V::TypeString, V::TypeInt, V::TypeString};
const XmlRpcParamLayout kWavLayout = {kWavTypes, 3, 3, 0};
const int kWavAnswerTypes[] = {V::TypeString, V::TypeString, V::TypeArray, V::TypeBool};
const XmlRpcParamLayout kWavAnswerLayout = {kWavAnswerTypes, 4, 4, 0};

const int kDeleteTypes[] = {V::TypeString, V::TypeInt, V::TypeString, V::TypeString};
const XmlRpcParamLayout kDeleteLayout = {kDeleteTypes, 4, 4, 0};
const int kDeleteAnswerTypes[] = {V::TypeString, V::TypeString, V::TypeBool};
const XmlRpcParamLayout kDeleteAnswerLayout = {kDeleteAnswerTypes, 3, 3, 0};

const int kTransferTypes[] = {V::TypeString, V::TypeInt, V::TypeString,
                              V::TypeString, V::TypeInt, V::TypeBool};
const XmlRpcParamLayout kTransferLayout = {kTransferTypes, 6, 6, 0};
const int kTransferAnswerTypes[] = {V::TypeString, V::TypeString, V::TypeString, V::TypeBool,
                                    V::TypeString};
const XmlRpcParamLayout kTransferAnswerLayout = {kTransferAnswerTypes, 5, 5, 0};

const int kConfigTypes[] = {V::TypeString, V::TypeString, V::TypeInt, V::TypeBool};
const XmlRpcParamLayout kConfigLayout = {kConfigTypes, 4, 4, 0};
const int kConfigAnswerTypes[] = {V::TypeString, V::TypeString, V::TypeBool, V::TypeString};
const XmlRpcParamLayout kConfigAnswerLayout = {kConfigAnswerTypes, 4, 4, 0};

template <typename T>
T OrDefault(const T* value) {
    return value != nullptr ? *value : T();
}

}  // namespace

// ---- system information ----------------------------------------------------

ReloadSettingsMethod::ReloadSettingsMethod()
    : XmlRpcRequestMethod(kMethodReloadSettings, kIdOnly) {}

bool ReloadSettingsMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

GetSystemInfoMethod::GetSystemInfoMethod() : XmlRpcRequestMethod(kMethodGetSystemInfo, kIdOnly) {}

bool GetSystemInfoMethod::SetParams(const unsigned long long& id) {
    SetIdParam(id);
    return true;
}

void GetSystemInfoMethod::Execute(IRpcCallback& target) {
    if (HasRequiredParams()) {
        target.GetSystemInfoCB(GetCallID());
    }
}

XmlRpcResponseMethod* GetSystemInfoMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new GetSystemInfoResponseMethod();
}

GetSystemInfoResponseMethod::GetSystemInfoResponseMethod()
    : XmlRpcResponseMethod(kMethodGetSystemInfo, kInfoLayout) {}

bool GetSystemInfoResponseMethod::SetParams(const unsigned long long& id,
                                            const std::string& uniqueId,
                                            const std::string& version) {
    if (!XmlRpcResponseMethod::SetParams(id)) {
        return false;
    }
    EnsureParam<XmlRpcValueString>(1).mstrValue = uniqueId;
    EnsureParam<XmlRpcValueString>(2).mstrValue = version;
    return true;
}

// ---- voice prompt files ----------------------------------------------------

GetWAVFilesMethod::GetWAVFilesMethod() : XmlRpcRequestMethod(kMethodGetWAVFilesList, kWavLayout) {}

bool GetWAVFilesMethod::SetParams(const unsigned long long& id, int type, const std::string& ext) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = type;
    EnsureParam<XmlRpcValueString>(2).mstrValue = ext;
    return true;
}

XmlRpcResponseMethod* GetWAVFilesMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new GetWAVFilesResponseMethod();
}

unsigned short GetWAVFilesMethod::GetType() const {
    return static_cast<unsigned short>(OrDefault(IntParam(1)));
}
std::string GetWAVFilesMethod::GetExt() const {
    return OrDefault(StringParam(2));
}

GetWAVFilesResponseMethod::GetWAVFilesResponseMethod()
    : XmlRpcResponseMethod(kMethodGetWAVFilesList, kWavAnswerLayout) {}

void GetWAVFilesResponseMethod::SetExt(unsigned short type, const std::string& ext) {
    mnType = type;
    EnsureParam<XmlRpcValueString>(1).mstrValue = ext;
    EnsureParam<XmlRpcValueArray>(2);
    EnsureParam<XmlRpcValueBool>(3);
}

void GetWAVFilesResponseMethod::Execute(IRpcCallback& target) {
    const std::string* ext = StringParam(1);
    XmlRpcValueArray* names = ArrayParam(2);
    XmlRpcValueBool* result = ParamAs<XmlRpcValueBool>(3);
    if (ext == nullptr || names == nullptr || result == nullptr) {
        return;
    }
    std::list<std::string> found;
    result->mbValue = target.GetWAVListCB(mnType, *ext, &found) != 0;
    for (const std::string& name : found) {
        if (name.find(".wav") != std::string::npos) {
            names->Append(new XmlRpcValueString(name));
        }
    }
}

bool GetWAVFilesResponseMethod::GetResult() const {
    return OrDefault(BoolParam(3));
}

std::list<std::string> GetWAVFilesResponseMethod::GetNames() const {
    std::list<std::string> out;
    const XmlRpcValueArray* names = ArrayParam(2);
    for (size_t i = 0; names != nullptr && i < names->mvValues.size(); ++i) {
        const XmlRpcValue* v = names->mvValues[i].get();
        if (v->IsType(XmlRpcValue::TypeString)) {
            out.push_back(static_cast<const XmlRpcValueString*>(v)->mstrValue);
        }
    }
    return out;
}

FileDeleteMethod::FileDeleteMethod() : XmlRpcRequestMethod(kMethodDeleteFile, kDeleteLayout) {}

bool FileDeleteMethod::SetParams(const unsigned long long& id, int type, const std::string& ext,
                                 const std::string& file) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = type;
    EnsureParam<XmlRpcValueString>(2).mstrValue = ext;
    EnsureParam<XmlRpcValueString>(3).mstrValue = file;
    return true;
}

XmlRpcResponseMethod* FileDeleteMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new FileDeleteResponseMethod();
}

unsigned short FileDeleteMethod::GetType() const {
    return static_cast<unsigned short>(OrDefault(IntParam(1)));
}
std::string FileDeleteMethod::GetExt() const {
    return OrDefault(StringParam(2));
}
std::string FileDeleteMethod::GetFile() const {
    return OrDefault(StringParam(3));
}

FileDeleteResponseMethod::FileDeleteResponseMethod()
    : XmlRpcResponseMethod(kMethodDeleteFile, kDeleteAnswerLayout) {}

void FileDeleteResponseMethod::SetExt(unsigned short type, const std::string& ext,
                                      const std::string& file) {
    mnType = type;
    mstrExt = ext;
    mbSet = true;
    EnsureParam<XmlRpcValueString>(1).mstrValue = file;
    EnsureParam<XmlRpcValueBool>(2);
}

void FileDeleteResponseMethod::Execute(IRpcCallback& target) {
    const std::string* file = StringParam(1);
    XmlRpcValueBool* result = ParamAs<XmlRpcValueBool>(2);
    if (!mbSet || file == nullptr || result == nullptr) {
        return;
    }
    result->mbValue = target.WAVFileDeleteCB(mnType, mstrExt, *file) != 0;
}

bool FileDeleteResponseMethod::GetResult() const {
    return OrDefault(BoolParam(2));
}

FileTransferMethod::FileTransferMethod()
    : XmlRpcRequestMethod(kMethodBeginFileTransfer, kTransferLayout) {}

bool FileTransferMethod::SetParams(const unsigned long long& id, int type, const std::string& ext,
                                   const std::string& file, int size, bool transfer) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueInt>(1).mnValue = type;
    EnsureParam<XmlRpcValueString>(2).mstrValue = ext;
    EnsureParam<XmlRpcValueString>(3).mstrValue = file;
    EnsureParam<XmlRpcValueInt>(4).mnValue = size;
    EnsureParam<XmlRpcValueBool>(5).mbValue = transfer;
    return true;
}

XmlRpcResponseMethod* FileTransferMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new FileTransferResponseMethod();
}

unsigned short FileTransferMethod::GetType() const {
    return static_cast<unsigned short>(OrDefault(IntParam(1)));
}
std::string FileTransferMethod::GetExt() const {
    return OrDefault(StringParam(2));
}
std::string FileTransferMethod::GetFile() const {
    return OrDefault(StringParam(3));
}
int FileTransferMethod::GetSize() const {
    return OrDefault(IntParam(4));
}
bool FileTransferMethod::GetTransfer() const {
    return OrDefault(BoolParam(5));
}

FileTransferResponseMethod::FileTransferResponseMethod()
    : XmlRpcResponseMethod(kMethodBeginFileTransfer, kTransferAnswerLayout) {}

void FileTransferResponseMethod::SetExt(unsigned short type, const std::string& ext,
                                        const std::string& file, const int& size, bool transfer) {
    mnType = type;
    mnSize = size;
    mbTransfer = transfer;
    EnsureParam<XmlRpcValueString>(1).mstrValue = ext;
    EnsureParam<XmlRpcValueString>(2).mstrValue = file;
    EnsureParam<XmlRpcValueBool>(3);
    EnsureParam<XmlRpcValueString>(4);
}

void FileTransferResponseMethod::Execute(IRpcCallback& target) {
    const std::string* ext = StringParam(1);
    const std::string* file = StringParam(2);
    XmlRpcValueBool* result = ParamAs<XmlRpcValueBool>(3);
    XmlRpcValueString* message = ParamAs<XmlRpcValueString>(4);
    if (ext == nullptr || file == nullptr || result == nullptr || message == nullptr) {
        return;
    }
    result->mbValue =
        target.FileTransferCB(mnType, *ext, *file, mnSize, mbTransfer, message->mstrValue) != 0;
}

void FileTransferResponseMethod::SetOutcome(bool result, const std::string& message) {
    EnsureParam<XmlRpcValueBool>(3).mbValue = result;
    EnsureParam<XmlRpcValueString>(4).mstrValue = message;
}

bool FileTransferResponseMethod::GetResult() const {
    return OrDefault(BoolParam(3));
}
std::string FileTransferResponseMethod::GetMessage() const {
    return OrDefault(StringParam(4));
}

// ---- configuration upload --------------------------------------------------

ConfigurationUpdateMethod::ConfigurationUpdateMethod()
    : XmlRpcRequestMethod(kMethodConfigurationUpdate, kConfigLayout) {}

bool ConfigurationUpdateMethod::SetParams(const unsigned long long& id, const std::string& file,
                                          int size, bool flag) {
    SetIdParam(id);
    EnsureParam<XmlRpcValueString>(1).mstrValue = file;
    EnsureParam<XmlRpcValueInt>(2).mnValue = size;
    EnsureParam<XmlRpcValueBool>(3).mbValue = flag;
    return true;
}

XmlRpcResponseMethod* ConfigurationUpdateMethod::CreateResponse(bool fault) {
    return fault ? CreateFault() : new ConfigurationUpdateResponseMethod();
}

std::string ConfigurationUpdateMethod::GetFile() const {
    return OrDefault(StringParam(1));
}
int ConfigurationUpdateMethod::GetSize() const {
    return OrDefault(IntParam(2));
}
bool ConfigurationUpdateMethod::GetFlag() const {
    return OrDefault(BoolParam(3));
}

ConfigurationUpdateResponseMethod::ConfigurationUpdateResponseMethod()
    : XmlRpcResponseMethod(kMethodConfigurationUpdate, kConfigAnswerLayout) {}

void ConfigurationUpdateResponseMethod::SetConfigFile(const std::string& file, const int& size,
                                                      bool flag) {
    mnSize = size;
    mbFlag = flag;
    EnsureParam<XmlRpcValueString>(1).mstrValue = file;
    EnsureParam<XmlRpcValueBool>(2);
    EnsureParam<XmlRpcValueString>(3);
}

void ConfigurationUpdateResponseMethod::Execute(IRpcCallback& target) {
    const std::string* file = StringParam(1);
    XmlRpcValueBool* result = ParamAs<XmlRpcValueBool>(2);
    XmlRpcValueString* message = ParamAs<XmlRpcValueString>(3);
    if (file == nullptr || result == nullptr || message == nullptr) {
        return;
    }
    int size = mnSize;
    result->mbValue = target.ConfigurationUpdateCB(*file, size, mbFlag, message->mstrValue) != 0;
}

void ConfigurationUpdateResponseMethod::SetOutcome(bool result, const std::string& message) {
    EnsureParam<XmlRpcValueBool>(2).mbValue = result;
    EnsureParam<XmlRpcValueString>(3).mstrValue = message;
}

bool ConfigurationUpdateResponseMethod::GetResult() const {
    return OrDefault(BoolParam(2));
}
std::string ConfigurationUpdateResponseMethod::GetMessage() const {
    return OrDefault(StringParam(3));
}
