/**
 * Node-RED settings for local runs by the tests and the example: a server
 * that only this machine can reach, that never goes out to the network and
 * that keeps only the Admin HTTP API the flow reader talks to.
 */
module.exports = {
    flowFile: "flows.json",
    flowFilePretty: true,
    // Test flows hold no secrets; without this Node-RED generates a key into
    // the user dir and prints a long warning about keeping it safe.
    credentialSecret: false,

    uiHost: "127.0.0.1",
    disableEditor: true,

    // Each of these would otherwise reach the internet: the telemetry ping,
    // the update check, and npm installs for palette and function modules.
    telemetry: {
        enabled: false,
        updateNotification: false,
    },
    externalModules: {
        autoInstall: false,
        palette: { allowInstall: false, allowUpload: false },
        modules: { allowInstall: false },
    },
    functionExternalModules: false,

    logging: {
        console: {
            level: "warn",
            metrics: false,
            audit: false,
        },
    },
};
