/* HostInterface.h: the C interface between a host page engine and the Velquor module.
 * The host calls ProcessQELRequest; the module calls back through the two service functions. */
#ifndef VELQUOR_HOST_INTERFACE_H
#define VELQUOR_HOST_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A four-character code: its bytes, most significant first, spell four characters. */
#define QEL_FOUR_CHAR_CODE(a, b, c, d)                                                  \
    ((uint32_t)(((uint32_t)(uint8_t)(a) << 24) | ((uint32_t)(uint8_t)(b) << 16) |       \
                ((uint32_t)(uint8_t)(c) << 8) | (uint32_t)(uint8_t)(d)))

/* Request codes (HostContext.requestCode). */
#define QEL_REQUEST_INITIALISE       QEL_FOUR_CHAR_CODE('M', 'I', 'n', 'i')
#define QEL_REQUEST_TAG              QEL_FOUR_CHAR_CODE('M', 'T', 'a', 'g')
#define QEL_REQUEST_ACTION           QEL_FOUR_CHAR_CODE('M', 'A', 'c', 't')
#define QEL_REQUEST_GET_PREFERENCES  QEL_FOUR_CHAR_CODE('M', 'G', 'P', 'r')
#define QEL_REQUEST_SET_PREFERENCES  QEL_FOUR_CHAR_CODE('M', 'S', 'P', 'r')
#define QEL_REQUEST_TERMINATE        QEL_FOUR_CHAR_CODE('M', 'T', 'r', 'm')

/* Result codes of ProcessQELRequest and of the tag handlers. */
#define QEL_RESULT_OK                     0u
#define QEL_RESULT_REGISTRATION_REFUSED   QEL_FOUR_CHAR_CODE('M', 'U', 'n', 'k')
#define QEL_RESULT_UNKNOWN_REQUEST        QEL_FOUR_CHAR_CODE('M', 'U', 'n', 'F')
#define QEL_RESULT_MISSING_PARAMETER      QEL_FOUR_CHAR_CODE('M', 'M', 'R', 'P')
#define QEL_RESULT_INVALID_PARAMETER      QEL_FOUR_CHAR_CODE('M', 'I', 'P', 'V')
#define QEL_RESULT_INVALID_ADDRESS        QEL_FOUR_CHAR_CODE('M', 'I', 'n', 'v')
#define QEL_RESULT_GENERAL_FAILURE        QEL_FOUR_CHAR_CODE('M', 'G', 'e', 'n')
#define QEL_RESULT_NOT_FOUND              QEL_FOUR_CHAR_CODE('M', 'N', 't', 'F')
#define QEL_RESULT_OPERATION_FAILED       QEL_FOUR_CHAR_CODE('M', 'O', 'p', 'F')
#define QEL_RESULT_FILE_NOT_FOUND         QEL_FOUR_CHAR_CODE('M', 'F', 'n', 'F')
#define QEL_RESULT_NOT_AUTHORISED         QEL_FOUR_CHAR_CODE('M', 'N', 'A', 'u')

/* Service answers and values exchanged with the host. */
#define QEL_ANSWER_BUFFER_TOO_SMALL  QEL_FOUR_CHAR_CODE('M', 'B', 't', 'S')
#define QEL_LOG_ENTRY_KIND           QEL_FOUR_CHAR_CODE('M', 'L', 'g', 'E')

/* HostCallback selectors: page, tag, registration and preference services. */
#define QEL_SERVICE_WRITE_TEXT               QEL_FOUR_CHAR_CODE('M', 'W', 't', 'S')
#define QEL_SERVICE_GET_TAG_NAME             QEL_FOUR_CHAR_CODE('M', 'T', 'a', 'g')
#define QEL_SERVICE_GET_ACTION_NAME          QEL_FOUR_CHAR_CODE('M', 'A', 'c', 't')
#define QEL_SERVICE_GET_PREFERENCE           QEL_FOUR_CHAR_CODE('M', 'G', 'P', 'r')
#define QEL_SERVICE_WRITE_LOG_ENTRY          QEL_FOUR_CHAR_CODE('M', 'W', 't', 'L')
#define QEL_SERVICE_SET_ERROR_INFO           QEL_FOUR_CHAR_CODE('M', 'S', 'E', 'I')
#define QEL_SERVICE_REGISTER_MODULE_NAME     QEL_FOUR_CHAR_CODE('M', 'R', 'M', 'N')
#define QEL_SERVICE_REGISTER_MODULE_VERSION  QEL_FOUR_CHAR_CODE('M', 'R', 'M', 'V')
#define QEL_SERVICE_REGISTER_MODULE_VENDOR   QEL_FOUR_CHAR_CODE('M', 'R', 'M', 'A')
#define QEL_SERVICE_REGISTER_TRACKING_URL    QEL_FOUR_CHAR_CODE('M', 'R', 'V', 't')
#define QEL_SERVICE_REGISTER_TAG             QEL_FOUR_CHAR_CODE('M', 'R', 'f', 'T')
#define QEL_SERVICE_REGISTER_ACTION          QEL_FOUR_CHAR_CODE('M', 'R', 'f', 'A')
#define QEL_SERVICE_REMOVE_PREFERENCE        QEL_FOUR_CHAR_CODE('M', 'R', 'P', 'r')
#define QEL_SERVICE_GET_TAG_PARAMETER        QEL_FOUR_CHAR_CODE('M', 'T', 'P', 'm')
#define QEL_SERVICE_GET_TAG_PARAMETER_AT     QEL_FOUR_CHAR_CODE('M', 'T', 'P', 'I')
#define QEL_SERVICE_GET_TAG_BODY             QEL_FOUR_CHAR_CODE('M', 'T', 'B', 'd')
#define QEL_SERVICE_GET_FORM_ARGUMENT        QEL_FOUR_CHAR_CODE('M', 'F', 'A', 'r')
#define QEL_SERVICE_GET_CGI_VARIABLE         QEL_FOUR_CHAR_CODE('M', 'C', 'G', 'I')
#define QEL_SERVICE_SET_PAGE_VARIABLE        QEL_FOUR_CHAR_CODE('M', 'S', 'P', 'V')
#define QEL_SERVICE_GET_VIRTUAL_HOST         QEL_FOUR_CHAR_CODE('M', 'V', 'r', 'H')
#define QEL_SERVICE_GET_PAGE_FOLDER_PATH     QEL_FOUR_CHAR_CODE('M', 'U', 'P', 'F')
#define QEL_SERVICE_GET_DATA_FOLDER_PATH     QEL_FOUR_CHAR_CODE('M', 'R', 'D', 'F')
#define QEL_SERVICE_RESOLVE_FOLDER_PATH      QEL_FOUR_CHAR_CODE('M', 'R', 'C', 'P')
#define QEL_SERVICE_SET_PREFERENCE           QEL_FOUR_CHAR_CODE('M', 'S', 'P', 'r')

/* HostDatabaseCallback selectors. */
#define QEL_DATABASE_STARTUP              QEL_FOUR_CHAR_CODE('M', 'I', 'n', 'i')
#define QEL_DATABASE_SHUTDOWN             QEL_FOUR_CHAR_CODE('M', 'T', 'r', 'm')
#define QEL_DATABASE_OPEN                 QEL_FOUR_CHAR_CODE('M', 'D', 'O', 'p')
#define QEL_DATABASE_CLOSE                QEL_FOUR_CHAR_CODE('M', 'D', 'C', 'l')
#define QEL_DATABASE_ADD_FIELD            QEL_FOUR_CHAR_CODE('M', 'F', 'A', 'd')
#define QEL_DATABASE_GET_FIELD_COUNT      QEL_FOUR_CHAR_CODE('M', 'F', 'C', 't')
#define QEL_DATABASE_CREATE_RECORD        QEL_FOUR_CHAR_CODE('M', 'R', 'C', 'r')
#define QEL_DATABASE_ADD_RECORD           QEL_FOUR_CHAR_CODE('M', 'R', 'A', 'd')
#define QEL_DATABASE_UPDATE_RECORD        QEL_FOUR_CHAR_CODE('M', 'R', 'U', 'p')
#define QEL_DATABASE_DELETE_RECORD        QEL_FOUR_CHAR_CODE('M', 'R', 'D', 'l')
#define QEL_DATABASE_SET_FIELD_VALUE      QEL_FOUR_CHAR_CODE('M', 'F', 'S', 'V')
#define QEL_DATABASE_GET_FIELD_VALUE      QEL_FOUR_CHAR_CODE('M', 'F', 'G', 'V')
#define QEL_DATABASE_SELECT_RECORDS       QEL_FOUR_CHAR_CODE('M', 'S', 'E', 'c')
#define QEL_DATABASE_GET_SELECTED_COUNT   QEL_FOUR_CHAR_CODE('M', 'S', 'R', 'C')
#define QEL_DATABASE_MOVE_TO_FIRST        QEL_FOUR_CHAR_CODE('M', 'M', 'F', 'R')
#define QEL_DATABASE_MOVE_TO_LAST         QEL_FOUR_CHAR_CODE('M', 'M', 'L', 'R')
#define QEL_DATABASE_MOVE_TO_NEXT         QEL_FOUR_CHAR_CODE('M', 'M', 'N', 'R')
#define QEL_DATABASE_MOVE_TO_RECORD       QEL_FOUR_CHAR_CODE('M', 'M', 'T', 'R')
#define QEL_DATABASE_MOVE_BY_RECORDS      QEL_FOUR_CHAR_CODE('M', 'M', 'J', 'p')

/* Database value types, open modes and the unique field descriptor. */
#define QEL_VALUE_TEXT       0x20000000u
#define QEL_VALUE_IDENTIFIER 0x30000000u
#define QEL_VALUE_INTEGER    0x40000000u
#define QEL_OPEN_SHARED      2u
#define QEL_OPEN_EXCLUSIVE   3u
#define QEL_FIELD_UNIQUE_TEXT 0x06060032u

/* Tag kinds passed with RegisterTag. */
#define QEL_TAG_KIND_WITH_BODY  0x10u
#define QEL_TAG_KIND_EMPTY      0x20u

typedef int32_t (*HostCallback)(uintptr_t hostRef, uint32_t selector,
                                void *a1, void *a2, void *a3, void *a4, void *a5);
typedef int32_t (*HostDatabaseCallback)(uintptr_t hostRef, uint32_t selector,
                                        void *a1, void *a2, void *a3, void *a4, void *a5, void *a6);
typedef void *(*HostAllocateFunction)(uint32_t size);
typedef void (*HostReleaseFunction)(void *block);

struct HostContext {
    uint8_t hostData[8];                   /* not used by the module */
    uintptr_t hostRef;                     /* passed back with every service call */
    uint32_t requestCode;                  /* four-character code */
    HostCallback callback;                 /* page, tag, registration, preference services */
    HostDatabaseCallback databaseCallback; /* record database services */
    HostAllocateFunction allocate;         /* installed by the initialisation request */
    HostReleaseFunction release;
};

/* The module's only export. Never lets an exception escape; answers 'MGen' instead. */
int32_t ProcessQELRequest(struct HostContext *context);

#ifdef __cplusplus
}
#endif

#endif /* VELQUOR_HOST_INTERFACE_H */
