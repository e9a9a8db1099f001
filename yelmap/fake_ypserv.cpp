// Test-only NIS server that answers just enough for a client to bind to it
// and ask for its map list, with the answers a real ypserv never gives: for a
// domain named "nodom.*" the status "no such domain", for "empty.*" success
// with an empty list. Every map's master is the host "nismaster".
#include <rpc/rpc.h>
#include <rpcsvc/yp_prot.h>

#include <cstdio>
#include <cstring>

namespace
{

bool starts_with(const char *text, const char *prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void reply_domain(SVCXPRT *xprt)
{
    char *domain = nullptr;
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_domainname), reinterpret_cast<char *>(&domain))) {
        svcerr_decode(xprt);
        return;
    }
    bool_t served = TRUE;
    svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_bool), &served);
    svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdr_domainname), reinterpret_cast<char *>(&domain));
}

void reply_master(SVCXPRT *xprt)
{
    ypreq_nokey request = {};
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_ypreq_nokey), reinterpret_cast<char *>(&request))) {
        svcerr_decode(xprt);
        return;
    }
    char master[] = "nismaster";
    ypresp_master answer = {YP_TRUE, master};
    svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_ypresp_master), &answer);
    svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdr_ypreq_nokey), reinterpret_cast<char *>(&request));
}

void reply_maplist(SVCXPRT *xprt)
{
    char *domain = nullptr;
    if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_domainname), reinterpret_cast<char *>(&domain))) {
        svcerr_decode(xprt);
        return;
    }
    ypresp_maplist answer = {starts_with(domain, "nodom.") ? YP_NODOM : YP_TRUE, nullptr};
    char name[] = "passwd.byname";
    ypmaplist one = {name, nullptr};
    if (!starts_with(domain, "empty.") && answer.status == YP_TRUE)
        answer.list = &one;
    svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_ypresp_maplist), &answer);
    svc_freeargs(xprt, reinterpret_cast<xdrproc_t>(xdr_domainname), reinterpret_cast<char *>(&domain));
}

void dispatch(svc_req *request, SVCXPRT *xprt)
{
    switch (request->rq_proc) {
    case YPPROC_NULL:
        svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr);
        break;
    case YPPROC_DOMAIN:
    case YPPROC_DOMAIN_NONACK:
        reply_domain(xprt);
        break;
    case YPPROC_MASTER:
        reply_master(xprt);
        break;
    case YPPROC_MAPLIST:
        reply_maplist(xprt);
        break;
    default:
        svcerr_noproc(xprt);
    }
}

} // namespace

int main()
{
    static const char *const transports[] = {"udp", "tcp"};
    for (const char *transport : transports)
        if (svc_create(dispatch, YPPROG, YPVERS, transport) == 0) {
            std::fprintf(stderr, "cannot serve over %s\n", transport);
            return 1;
        }
    svc_run();
    return 1;
}
