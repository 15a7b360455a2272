// The upload in progress on a connection. The request that begins an upload
// leaves its job (SystemServices::UploadJob) and its answer with the
// connection; each pass of the connection thread then feeds the job whatever
// body bytes arrived, and every other connection is served between the pieces
// of a slow body. Once the job is done (the body stored, or not, and for a
// configuration file the tool finished) its answer is sent and the input that
// followed the body is carried out. Connection thread, mServMutex held.
#include <cerrno>

#include "core/ExtCallControl.h"
#include "server/CallControlService.h"
#include "xmlrpc/SystemMethods.h"

namespace {

using TR = ExtCallControl;
using SystemServices::UploadJob;

// Seconds each piece of a body may take: the request time-out, or the send
// time-out when requests have none.
long PieceTimeout() {
    const int timeout = CallControlService::mnReqTimeout;
    return timeout > 0 ? timeout : CallControlService::kSendTimeout;
}

}  // namespace

bool CallControlService::SendOk() {
    // Never waits: the client sends the next chunk only once it has this
    // "OK", and what the socket does not take at once is written as the
    // client reads, like any other output.
    return mChannel.Write("OK", 2);
}

void CallControlService::DispatchInput(unsigned long now) {
    while (!mChannel.Broken()) {
        if (mpUpload != nullptr && ContinueUpload(now)) {
            return;  // what follows the body waits for its answer
        }
        if (mChannel.Broken() || !ProcessIncomingXmlRpc()) {
            return;
        }
    }
}

bool CallControlService::ContinueUpload(unsigned long now) {
    if (mpUpload->Receiving()) {
        mpUpload->Feed(mRecvBuffer, now, *this);
        const UploadJob::Stall stall = mpUpload->Overdue(now, PieceTimeout());
        if (stall == UploadJob::Stall::kDeadline) {
            TR::TRACEX("CCS: ReceiveChunk. ERROR. Upload body not complete by its deadline\n");
        }
        if (stall != UploadJob::Stall::kNone) {
            StopUpload(EAGAIN);
        }
    }
    if (!mpUpload->Done()) {
        return true;
    }
    XmlRpcResponseMethod* answer = mpUploadAnswer.get();
    if (auto* prompt = dynamic_cast<FileTransferResponseMethod*>(answer)) {
        prompt->SetOutcome(mpUpload->Result(), mpUpload->Message());
    } else if (auto* config = dynamic_cast<ConfigurationUpdateResponseMethod*>(answer)) {
        config->SetOutcome(mpUpload->Result(), mpUpload->Message());
    }
    mpUpload.reset();
    TR::TRACEX("CCS: ProcessXmlRpcRequest. Sending response...\n");
    // Not written when the connection broke: a client that left or stalled
    // gets no answer, and is closed.
    BuildAndSendXml(answer);
    mpUploadAnswer.reset();
    return false;
}

void CallControlService::StopUpload(int error) {
    TR::TRACEX("CCS: ReceiveChunk. ERROR. Upload stopped after %d of %d bytes, errno %d\n",
               mpUpload->ChunkReceived(), mpUpload->ChunkLength(), error);
    mChannel.MarkBroken();
    mpUpload->Interrupt();
}

unsigned long CallControlService::UploadDue() const {
    return UploadReceiving() ? mpUpload->DueAt(PieceTimeout()) : 0;
}
