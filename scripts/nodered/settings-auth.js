/**
 * The settings of settings.js with the Admin HTTP API behind a login: a request without a
 * token, as the flow reader makes it, is refused with 401 Unauthorized. The users are "admin",
 * who may do anything, and "viewer", who may only read; the password of both is "zorv-test".
 */
module.exports = {
    ...require("./settings.js"),
    adminAuth: {
        type: "credentials",
        users: [{
            username: "admin",
            password: "$2b$08$3P/Zz4UgeWSgFMlb9SvLTONELf/n/XRaSUiQRWbzK895rhwgouUFa",
            permissions: "*",
        }, {
            username: "viewer",
            password: "$2b$08$3P/Zz4UgeWSgFMlb9SvLTONELf/n/XRaSUiQRWbzK895rhwgouUFa",
            permissions: "read",
        }],
    },
};
