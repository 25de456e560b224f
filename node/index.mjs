// index.mjs -- the package for ES modules: the same objects as the CommonJS entry.
import dostrel from './index.js';

export const { createServer, Server, cluster, DEFAULT_LIMITS } = dostrel;
export default dostrel;
